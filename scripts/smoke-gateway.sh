#!/usr/bin/env bash
# Starts an installed gateway the way its service does and checks it serves: a settings file of its own (plain HTTP on
# a free loopback port, a fresh store and key file in a temporary folder), the "Escuchando en" line, the key file made
# 0600, a sign-in of an unknown user refused with the gateway's sentence, the pause answered 200 with an empty body,
# then SIGTERM and exit 0.
#
#   scripts/smoke-gateway.sh [PROGRAM]      PROGRAM defaults to /usr/bin/vantoria-gateway
#
# GATEWAY_SMOKE_FROM=FILE takes the settings from FILE (the package's gateway.ini), changing only the lines that must
# differ here, so every other key is read as shipped.
# GATEWAY_SMOKE_NGINX_SITE=FILE also puts that nginx site (the package's example) in front of the gateway, on
# loopback ports with a certificate of its own, and asks the same through it over HTTPS.
#
# As root, and when the package's system user exists, the gateway runs as that user, as under systemd.
# GATEWAY_SMOKE_API_URL and GATEWAY_SMOKE_EXTRA_CA point it at a marketplace double (default: a closed loopback port;
# nothing here calls the marketplace).
set -euo pipefail

program=${1:-/usr/bin/vantoria-gateway}
api_url=${GATEWAY_SMOKE_API_URL:-https://127.0.0.1:9}
user=vantoria-gateway

fail() {
  echo "smoke-gateway: $*" >&2
  [ -s "$dir/stderr" ] && sed 's/^/  gateway: /' "$dir/stderr" >&2
  exit 1
}

dir=$(mktemp -d)
ndir=""
pid=""
npid=""
stop_nginx() {
  if [ -n "$npid" ]; then
    kill -TERM "$npid" 2>/dev/null || true
    wait "$npid" 2>/dev/null || true
    npid=""
  fi
}
cleanup() {
  stop_nginx
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then kill -KILL "$pid" 2>/dev/null || true; fi
  rm -rf "$dir" ${ndir:+"$ndir"}
}
trap cleanup EXIT

printf 'secreto-de-prueba\n' >"$dir/client_secret"
if [ -n "${GATEWAY_SMOKE_FROM:-}" ]; then
  # The shipped settings, every line kept but these: a free port, the marketplace on loopback, the two keys the
  # administrator completes, and the secret, store and key in the temporary folder.
  sed -e 's|^listen = 127\.0\.0\.1:8080$|listen = 127.0.0.1:0|' \
    -e "s|^api_url = .*|api_url = $api_url|" -e "s|^auth_url = .*|auth_url = $api_url/authorization|" \
    -e 's|^;client_id = .*|client_id = prueba|' \
    -e 's|^;redirect_uri = .*|redirect_uri = https://127.0.0.1:9/oauth/callback|' \
    -e "s|^client_secret_file = /etc/vantoria-gateway/client_secret$|client_secret_file = client_secret|" \
    -e "s|^database = /var/lib/vantoria-gateway/|database = $dir/|" \
    -e "s|^key_file = /var/lib/vantoria-gateway/|key_file = $dir/|" "$GATEWAY_SMOKE_FROM" >"$dir/gateway.ini"
  if [ -n "${GATEWAY_SMOKE_EXTRA_CA:-}" ]; then
    sed -i "s|^;extra_ca = .*|extra_ca = $GATEWAY_SMOKE_EXTRA_CA|" "$dir/gateway.ini"
  fi
  for want in 'listen = 127.0.0.1:0' "api_url = $api_url" 'client_id = prueba' 'redirect_uri = https://127.0.0.1:9/' \
    'client_secret_file = client_secret' "database = $dir/gateway.sqlite" "key_file = $dir/gateway.key"; do
    grep -qF "$want" "$dir/gateway.ini" || fail "$GATEWAY_SMOKE_FROM has no line to make '$want'"
  done
else
  {
    printf '[server]\nlisten = 127.0.0.1:0\n'
    printf '[marketplace]\napi_url = %s\nauth_url = %s/authorization\n' "$api_url" "$api_url"
    printf 'client_id = prueba\nclient_secret_file = client_secret\n'
    printf 'redirect_uri = https://127.0.0.1:9/oauth/callback\n'
    if [ -n "${GATEWAY_SMOKE_EXTRA_CA:-}" ]; then printf 'extra_ca = %s\n' "$GATEWAY_SMOKE_EXTRA_CA"; fi
    printf '[store]\ndatabase = gateway.sqlite\nkey_file = gateway.key\n'
  } >"$dir/gateway.ini"
fi

as_user=()
if [ "$(id -u)" -eq 0 ] && getent passwd "$user" >/dev/null; then
  chown -R "$user:$user" "$dir"
  chmod 0700 "$dir"
  # setpriv execs the gateway in place, so $! is the gateway itself and SIGTERM reaches it.
  as_user=(setpriv --reuid="$user" --regid="$user" --init-groups --)
fi

"${as_user[@]}" "$program" --config "$dir/gateway.ini" serve >"$dir/stdout" 2>"$dir/stderr" &
pid=$!

port=""
for _ in $(seq 100); do
  if line=$(grep -m1 '^Escuchando en ' "$dir/stdout" 2>/dev/null); then
    [[ $line =~ ^Escuchando\ en\ http://127\.0\.0\.1:([0-9]+)$ ]] || fail "unexpected first line: $line"
    port=${BASH_REMATCH[1]}
    break
  fi
  kill -0 "$pid" 2>/dev/null || fail "the gateway ended before listening"
  sleep 0.1
done
[ -n "$port" ] || fail "no 'Escuchando en' line within 10 s"

[ "$(stat -c %a "$dir/gateway.key")" = 600 ] || fail "key file mode is $(stat -c %a "$dir/gateway.key"), not 600"

# The pause answers 200 with nothing; a sign-in of an unknown user, the gateway's sentence (the store works).
check_answers() { # BASE [curl options...]
  local base=$1 status
  shift
  # As the window sends it: a POST with an empty body and "Content-Length: 0".
  status=$(curl -sS --max-time 10 -o "$dir/pause" -w '%{http_code}' --data-binary '' "$@" \
    "$base/mercadolibre/ml00000319_Blank.php") || fail "no answer to the pause at $base"
  [ "$status" = 200 ] || fail "pause at $base answered HTTP $status"
  [ ! -s "$dir/pause" ] || fail "pause at $base answered a body: $(head -c 200 "$dir/pause")"
  status=$(curl -sS --max-time 10 -o "$dir/signin" -w '%{http_code}' --data-binary 'fusuario=nadie&fclave=x' "$@" \
    "$base/mercadolibre/ml00000316_LogeandoEspecial.php") || fail "no answer to the sign-in at $base"
  [ "$status" = 200 ] || fail "sign-in at $base answered HTTP $status"
  [ "$(cat "$dir/signin")" = "Usuario o clave incorrectos. Revise los datos e intente de nuevo." ] ||
    fail "sign-in at $base answered: $(head -c 200 "$dir/signin")"
}
base="http://127.0.0.1:$port"
check_answers "$base"
done_what="answered the pause and a refused sign-in"

# The nginx site example in front of it: its syntax with `nginx -t`, then the same answers through it over HTTPS on
# loopback ports (the site's ports and certificate rewritten, all else as shipped), with the gateway stopped while
# nginx still holds its kept-alive connections.
if [ -n "${GATEWAY_SMOKE_NGINX_SITE:-}" ]; then
  # A folder of its own that nginx's workers (nobody, when run as root) may enter for their temporary files.
  ndir=$(mktemp -d)
  chmod 0755 "$ndir"
  # Below the kernel's range of ephemeral ports (from 32768), which every outgoing connection on the machine takes
  # its local port from: a port there may be taken between the probe and nginx's bind.
  free_port() { # [PORT NOT TO TAKE]
    local p
    for _ in $(seq 50); do
      p=$((20000 + RANDOM % 12000))
      if [ "$p" != "${1:-}" ] && ! (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null; then
        echo "$p"
        return
      fi
    done
    fail "no free port for nginx"
  }
  https_port=$(free_port)
  http_port=$(free_port "$https_port")
  openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=pasarela.ejemplo.com \
    -addext subjectAltName=DNS:pasarela.ejemplo.com -keyout "$ndir/site.key" -out "$ndir/site.pem" 2>/dev/null
  sed -e "s|server 127.0.0.1:8080;|server 127.0.0.1:$port;|" \
    -e "s|listen 443 ssl;|listen 127.0.0.1:$https_port ssl;|" -e "s|listen 80;|listen 127.0.0.1:$http_port;|" \
    -e '/listen \[::\]/d' -e "s|ssl_certificate .*;|ssl_certificate $ndir/site.pem;|" \
    -e "s|ssl_certificate_key .*;|ssl_certificate_key $ndir/site.key;|" "$GATEWAY_SMOKE_NGINX_SITE" >"$ndir/site.conf"
  grep -q "server 127.0.0.1:$port;" "$ndir/site.conf" || fail "the nginx site has no upstream 127.0.0.1:8080"
  # Only the two rewritten loopback listens: nginx here never takes a public address or a real port.
  listens=$(grep -cE '^ *listen ' "$ndir/site.conf" || true)
  loopback=$(grep -cE '^ *listen 127\.0\.0\.1:' "$ndir/site.conf" || true)
  if [ "$listens" -ne 2 ] || [ "$loopback" -ne 2 ]; then
    fail "the nginx site listens elsewhere than on 80 and 443: $(grep -E '^ *listen ' "$ndir/site.conf" | tr -s ' ')"
  fi
  {
    printf 'daemon off;\npid %s/nginx.pid;\nerror_log %s/error.log;\n' "$ndir" "$ndir"
    printf 'events { worker_connections 64; }\nhttp {\n  access_log %s/access.log;\n' "$ndir"
    for t in client_body proxy fastcgi uwsgi scgi; do printf '  %s_temp_path %s/%s;\n' "$t" "$ndir" "$t"; done
    printf '  include %s/site.conf;\n}\n' "$ndir"
  } >"$ndir/nginx.conf"
  nginx -t -q -p "$ndir" -e "$ndir/error.log" -c "$ndir/nginx.conf" 2>"$ndir/test.log" ||
    fail "nginx -t refused the site: $(cat "$ndir/test.log" "$ndir/error.log" 2>/dev/null)"
  nginx -p "$ndir" -e "$ndir/error.log" -c "$ndir/nginx.conf" &
  npid=$!
  tls=(--cacert "$ndir/site.pem" --resolve "pasarela.ejemplo.com:$https_port:127.0.0.1")
  for _ in $(seq 50); do
    curl -s -o /dev/null --max-time 1 "${tls[@]}" "https://pasarela.ejemplo.com:$https_port/" && break
    kill -0 "$npid" 2>/dev/null || fail "nginx ended: $(cat "$ndir/error.log")"
    sleep 0.1
  done
  check_answers "https://pasarela.ejemplo.com:$https_port" "${tls[@]}"
  redirect=$(curl -sS --max-time 10 -o /dev/null -w '%{http_code} %{redirect_url}' \
    --resolve "pasarela.ejemplo.com:$http_port:127.0.0.1" "http://pasarela.ejemplo.com:$http_port/x")
  [ "$redirect" = "301 https://pasarela.ejemplo.com/x" ] || fail "plain HTTP through nginx answered: $redirect"
  done_what="$done_what, directly and through nginx over HTTPS"
fi

kill -TERM "$pid"
for _ in $(seq 100); do
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
kill -0 "$pid" 2>/dev/null && fail "still running 10 s after SIGTERM"
rc=0
wait "$pid" || rc=$?
pid=""
[ "$rc" -eq 0 ] || fail "exit status $rc after SIGTERM"
grep -q ' POST /mercadolibre/ml00000319_Blank.php -> 200 ' "$dir/stderr" || fail "the pause is not in the request log"

stop_nginx
echo "smoke-gateway: $program listened on $base, $done_what, stopped with 0"
