#!/usr/bin/env bash
# Writes the seed corpora of the marketplace fuzz targets into the folder given (created when missing):
#   <folder>/listing_page    search pages shaped like the marketplace's (and the simulator's) answers, plus the
#                            JSON parsing suite's files, read where they lie
#   <folder>/gateway_answer  the gateway's answers, each behind the byte that picks the branch
#                            ('0' sign-in, '1' single push, '2' batch item; '3' '4' '5' the same on another row)
#   <folder>/http_answer     what a connection carries back, each behind the byte that picks how it is cut
# gzip (always there on Debian) compresses the compressed answers.
# Usage: tests/fuzz/market/seeds.sh fuzz-corpus-market
# JSON_SUITE names the suite's test_parsing folder (default ../shared/corpora/JSONTestSuite/test_parsing, beside
# the repository).
set -euo pipefail

if [[ $# -ne 1 ]]; then
    echo "usage: $0 <corpus folder>" >&2
    exit 2
fi
corpus=$1
repository=$(cd "$(dirname "$0")/../../.." && pwd)
suite=${JSON_SUITE:-$repository/../shared/corpora/JSONTestSuite/test_parsing}
listing="$corpus/listing_page"
gateway="$corpus/gateway_answer"
http="$corpus/http_answer"
mkdir -p "$listing" "$gateway" "$http"

# One listing as the search returns it. $1 serial number, $2 title (already JSON-escaped), $3 price.
publicacion() {
    local n=$1 titulo=$2 precio=$3
    printf '{"id":"MLV%s","site_id":"MLV","title":"%s","price":%s,"currency_id":"VES","available_quantity":%s,' \
        "$n" "$titulo" "$precio" $((n % 50))
    printf '"condition":"new","permalink":"https://articulo.mercadolibre.com.ve/MLV-%s-publicacion-_JM",' "$n"
    printf '"thumbnail":"http://http2.mlstatic.com/D_MLV%s-I.jpg","seller":{"id":12345}}' "$n"
}

titulos=('Taladro percutor 13 mm' 'Cinta métrica 5 m' 'Martillo de uña' 'Juego de llaves Allen' 'Pala punta cuadrada'
    'Destornillador plano 1/4\"' 'Niño: bicicleta rin 16' 'Café molido 500 g' 'Sartén antiadherente 28 cm'
    'Lámpara LED 9 W' 'Manguera ½ pulgada 15 m' 'Cerradura de pomo')

# A search page announcing $1 listings, at offset $2, holding $3 of them; the file is padded with blanks so that its
# length picks the same offset in fuzz_listing_page (length mod 3 = offset / 20).
pagina() {
    local total=$1 offset=$2 cuantas=$3 archivo=$4 i
    {
        printf '{"site_id":"MLV","seller":{"id":12345},"paging":{"total":%s,"primary_results":%s,"offset":%s,' \
            "$total" "$total" "$offset"
        printf '"limit":20},"results":['
        for ((i = 0; i < cuantas; i++)); do
            ((i > 0)) && printf ','
            publicacion $((1000 + offset + i)) "${titulos[$(((offset + i) % ${#titulos[@]}))]}" \
                "$((100 + offset + i)).$((i % 10))0"
        done
        printf '],"sort":{"id":"relevance","name":"Más relevantes"},"available_filters":[]}'
    } >"$archivo"
    while (($(wc -c <"$archivo") % 3 != offset / 20 % 3)); do
        printf ' ' >>"$archivo"
    done
}

pagina 45 0 20 "$listing/page-45-offset-0"
pagina 45 20 20 "$listing/page-45-offset-20"
pagina 45 40 5 "$listing/page-45-offset-40"
pagina 0 0 0 "$listing/page-empty"
pagina 20 0 20 "$listing/page-exactly-20"
pagina 3 0 3 "$listing/page-3"
# Announces more than it holds: the branch stops at the first missing listing.
pagina 45 0 12 "$listing/page-fewer-than-announced"
# Announces fewer than it holds.
pagina 2 0 6 "$listing/page-more-than-announced"

printf '%s' '{"paging":{"primary_results":"7 listings"},"results":[{"id":1001,"title":"x"},{"id":true,"title":null}]}' \
    >"$listing/page-odd-kinds"
printf '%s' "{paging:{primary_results:2.5e0},results:[{id:'MLV1','title':'uno'},{'id':'MLV2',title:'dos'}]}" \
    >"$listing/page-lenient"
printf '%s' '{"paging":{"primary_results":99999999999},"results":[]}' >"$listing/page-huge-total"
printf '%s' '{"paging":{"primary_results":-3},"results":[{"id":"MLV1","title":"a"}]}' >"$listing/page-negative-total"
printf '%s' '{"paging":{"primary_results":1},"results":[{"id":"MLV1"}]}' >"$listing/page-no-title"
printf '%s' '[{"paging":{"primary_results":1}}]' >"$listing/page-top-array"
printf '%s' '<html><body>502 Bad Gateway</body></html>' >"$listing/page-html"

# The JSON parsing suite: every file small enough for the documented -max_len, copied in at run time.
if [[ -d "$suite" ]]; then
    for f in "$suite"/*.json; do
        if (($(wc -c <"$f") <= 65536)); then
            cp -- "$f" "$listing/suite-$(basename -- "$f")"
        fi
    done
else
    echo "$0: $suite not found; the JSON parsing suite is left out" >&2
fi

# Gateway answers, each for every branch and two product rows.
respuestas=('Listo!!!12345' 'Usuario o clave incorrectos.' 'Listo!!! Precio actualizado.' 'Error: precio inválido.'
    'ok' '  LISTO!!!  ' 'listo!!!98765 listo!!!11111' '<html><body>500 Internal Server Error</body></html>' '')
n=0
for respuesta in "${respuestas[@]}"; do
    for rama in 0 1 2 3 4 5; do
        printf '%s%s' "$rama" "$respuesta" >"$gateway/answer-$n-branch-$rama"
    done
    n=$((n + 1))
done

# Whole answers as a connection carries them. $1 the byte that picks the pieces, $2 the file; the answer on stdin.
conexion() {
    {
        printf '%s' "$1"
        cat
    } >"$http/$2"
}
cuerpo='{"estado":"Listo!!!","vendedor":12345}'
printf 'HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: %s\r\n\r\n%s' "${#cuerpo}" "$cuerpo" |
    conexion 0 plain
printf 'HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n7;nombre=valor\r\nListo!!\r\n5\r\n!1234\r\n0\r\n%b' \
    'Server-Timing: total;dur=3\r\n\r\n' | conexion 3 chunked
printf 'HTTP/1.0 200 OK\nConnection: close\n\nListo!!! hasta el cierre' | conexion 7 until-close
printf 'HTTP/1.1 103 Early Hints\r\nLink: </estilo.css>; rel=preload\r\n\r\n%b' \
    'HTTP/1.1 200 OK\r\nContent-Length: 8\r\n\r\nListo!!!' | conexion 1 interim-103-then-200
printf 'HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 204 No Content\r\nContent-Length: 0\r\n\r\n' | conexion 2 continue-then-204
printf 'HTTP/1.1 200 OK\r\nContent-Length: 8\r\n\r\nListo!!!HTTP/1.1 500 Late\r\n\r\n' | conexion 4 bytes-after-the-answer
printf 'HTTP/1.1 200 OK\r\nContent-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nListo\r\n0\r\n\r\n' |
    conexion 5 length-and-chunks
printf 'HTTP/1.1 502 Bad Gateway\r\nContent-Length: 4, 4\r\n\r\nmal.' | conexion 6 repeated-length
printf '%s' "$cuerpo" | gzip -n >"$http/.gz"
printf 'HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: %s\r\n\r\n' "$(wc -c <"$http/.gz")" |
    cat - "$http/.gz" | conexion 0 gzip
{
    printf 'HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Encoding: x-gzip\r\n\r\n%x\r\n' \
        "$(wc -c <"$http/.gz")"
    cat "$http/.gz"
    printf '\r\n0\r\n\r\n'
} | conexion 1 gzip-chunked
# The same text as a zlib stream (Content-Encoding: deflate), written out byte by byte.
printf 'HTTP/1.1 200 OK\r\nContent-Encoding: deflate\r\n\r\n\x78\xda\xab\x56\x4a\x2d\x2e\x49\x4c\xc9\x57\xb2\x52%b' \
    '\xf2\xc9\x2c\x2e\xc9\x57\x54\x54\x54\xaa\x05\x00\x4e\x57\x06\xa9' | conexion 2 deflate-until-close
# Two MiB of zeros in about two kilobytes: beyond the body limit once decoded.
head -c $((2 * 1024 * 1024)) /dev/zero | gzip -n >"$http/.gz"
printf 'HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: %s\r\n\r\n' "$(wc -c <"$http/.gz")" |
    cat - "$http/.gz" | conexion 3 gzip-swelling
rm -- "$http/.gz"

paginas=("$listing"/*)
contestaciones=("$gateway"/*)
conexiones=("$http"/*)
echo "seeds written: ${#paginas[@]} listing pages, ${#contestaciones[@]} gateway answers," \
    "${#conexiones[@]} HTTP answers in $corpus"
