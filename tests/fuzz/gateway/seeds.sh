#!/usr/bin/env bash
# Writes the seed corpus of fuzz_gateway_request into the folder given (created when missing): sign-in bodies behind
# '0' and request targets behind '1' (GET) or '3' (POST).
# Usage: tests/fuzz/gateway/seeds.sh fuzz-corpus-gateway/request
set -euo pipefail
if [[ $# -ne 1 ]]; then
    echo "usage: $0 <corpus folder>" >&2
    exit 2
fi
c=$1
mkdir -p "$c"
printf '0fusuario=tienda&fclave=clave1' >"$c/right"
printf '0fusuario=tienda&fclave=clave2' >"$c/wrong"
printf '0fusuario=&fclave=' >"$c/empty"
printf '0fusuario=x&fclave=a&fclave=b' >"$c/twice"
printf '0fusuario=%%74ienda&fclave=clave1' >"$c/escaped"
printf '0fusuario=t\0&fclave=c' >"$c/nul"
printf '1/mercadolibre/ml00000102_meliGet.php?men=480613&item_id=MLV700000000&precio_item=1234.567' >"$c/price"
printf '1/sites/MLV/search?limit=20&offset=0&seller_id=777' >"$c/search"
printf '1/oauth/callback?code=%%zz&state=%%00' >"$c/callback"
printf '1/vincular/abc' >"$c/link"
printf '3/mercadolibre/ml00000319_Blank.php' >"$c/pause"
printf '1/?a&b=&=c&&d=e=f&precio_item=0.005' >"$c/pairs"
