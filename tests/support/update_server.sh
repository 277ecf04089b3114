#!/usr/bin/env bash
# Starts and stops the tests' update server (update_server.py) for ctest.
#
#   update_server.sh start DIR [PORT [CERTS]]
#                                       make the certificates (when missing or
#                                       about to expire; with CERTS, a copy of
#                                       that directory of another server's),
#                                       start the server in the background,
#                                       wait until it listens
#   update_server.sh stop DIR           end the server started in DIR
#
# DIR gets: certs/ (made here with the openssl CLI), www/ (the documents),
# faults/ (fault files), requests.log, server.out (the server's own output)
# and server.env (pid and the port of each listener, written by the server
# once every listener is bound). With PORT the "ca" listener takes that port
# and the start fails, saying so, when it is taken.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
cmd=${1:?usage: update_server.sh start|stop DIR [PORT [CERTS]]}
dir=${2:?usage: update_server.sh start|stop DIR [PORT [CERTS]]}
port=${3:-0}
certs_from=${4:-}

say() { printf 'update_server: %s\n' "$*" >&2; }

# True while process $1 runs (an exited one waiting for its parent to reap
# it counts as gone).
alive() {
    local state
    state=$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null) || return 1
    [ -n "$state" ] && [ "$state" != Z ]
}

# The pid in DIR/server.env when that process is alive and is our server.
server_pid() {
    local pid
    [ -f "$dir/server.env" ] || return 1
    pid=$(sed -n 's/^pid=//p' "$dir/server.env")
    [ -n "$pid" ] && alive "$pid" || return 1
    tr '\0' ' ' <"/proc/$pid/cmdline" | grep -q "update_server.py.*--env $dir/server.env" || return 1
    echo "$pid"
}

stop_server() {
    local pid i
    pid=$(server_pid) || { rm -f "$dir/server.env"; return 0; }
    kill -TERM "$pid" 2>/dev/null || true
    for i in $(seq 100); do
        alive "$pid" || break
        sleep 0.05
    done
    alive "$pid" && kill -KILL "$pid" 2>/dev/null || true
    rm -f "$dir/server.env"
}

# True when every prime and CRT value of RSA key $1 takes its full 128 bytes.
# Wine's import of a PKCS #12 key takes a shorter one (a leading zero byte,
# about one key in a hundred) for a broken key, and every signature of the
# client certificate then fails ("Public key signing has failed").
full_length_key() {
    openssl rsa -in "$1" -noout -text 2>/dev/null | awk '
        /^[a-zA-Z]/ { name = $1 }
        /^ / { gsub(/[ :]/, ""); hex[name] = hex[name] $0 }
        END {
            split("prime1: prime2: exponent1: exponent2: coefficient:", want, " ")
            for (i in want) {
                v = hex[want[i]]
                sub(/^00/, "", v)
                if (length(v) != 256) exit 1
            }
        }'
}

# One key and one certificate for CN=localhost (SAN DNS:localhost).
# $1 name, $2 issuer name or "self", further arguments go to the signing call.
make_leaf() {
    local name=$1 issuer=$2 c=$dir/certs
    shift 2
    openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$c/$name.key" 2>/dev/null
    until full_length_key "$c/$name.key"; do
        openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$c/$name.key" 2>/dev/null
    done
    if [ "$issuer" = self ]; then
        openssl req -x509 -new -key "$c/$name.key" -subj "/CN=localhost/O=orv test self-signed" \
            -days 3650 -addext "subjectAltName=DNS:localhost" -addext "basicConstraints=CA:FALSE" \
            -out "$c/$name.pem" "$@"
    else
        openssl req -new -key "$c/$name.key" -subj "/CN=localhost/O=orv test $name" \
            -out "$c/$name.csr"
        openssl ca -batch -notext -config "$c/ca.cnf" -in "$c/$name.csr" -out "$c/$name.pem" "$@" \
            2>/dev/null
        rm -f "$c/$name.csr"
    fi
}

make_certs() {
    local c=$dir/certs
    if [ -f "$c/ca.pem" ] && [ -f "$c/client2.pem" ] &&
        openssl x509 -checkend 86400 -noout -in "$c/srv.pem" >/dev/null 2>&1; then
        return 0
    fi
    rm -rf "$c"
    mkdir -p "$c/issued"
    : >"$c/index.txt"
    cat >"$c/ca.cnf" <<EOF
[ ca ]
default_ca = test_ca
[ test_ca ]
dir = $c
database = \$dir/index.txt
new_certs_dir = \$dir/issued
certificate = \$dir/ca.pem
private_key = \$dir/ca.key
rand_serial = yes
default_md = sha256
default_days = 825
policy = any
unique_subject = no
copy_extensions = none
x509_extensions = leaf
[ any ]
commonName = supplied
organizationName = optional
[ leaf ]
basicConstraints = CA:FALSE
subjectAltName = DNS:localhost
keyUsage = digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth, clientAuth
EOF
    openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$c/ca.key" 2>/dev/null
    openssl req -x509 -new -key "$c/ca.key" -subj "/CN=orv test CA" -days 3650 \
        -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
        -out "$c/ca.pem"
    make_leaf srv ca
    make_leaf expired ca -startdate 20200101000000Z -enddate 20200201000000Z
    make_leaf self self
    make_leaf other self
    # Client certificates: one of the test CA, and a second one whose key a test
    # pairs with the first certificate to make a mismatch.
    make_leaf client ca
    make_leaf client2 ca
}

case $cmd in
start)
    mkdir -p "$dir/www" "$dir/faults"
    stop_server
    if [ -n "$certs_from" ]; then
        [ -f "$certs_from/srv.pem" ] || { say "no certificates in $certs_from"; exit 1; }
        rm -rf "$dir/certs"
        cp -r "$certs_from" "$dir/certs"
    else
        make_certs
    fi
    : >"$dir/requests.log"
    # Detached, and with no descriptor of ctest's left open, so that the
    # fixture step ends while the server goes on.
    setsid python3 "$here/update_server.py" --certs "$dir/certs" --www "$dir/www" \
        --faults "$dir/faults" --log "$dir/requests.log" --port "$port" \
        --env "$dir/server.env" </dev/null >"$dir/server.out" 2>&1 &
    pid=$!
    for i in $(seq 200); do
        [ -f "$dir/server.env" ] && { say "listening: $(tr '\n' ' ' <"$dir/server.env")"; exit 0; }
        alive "$pid" || break
        sleep 0.05
    done
    cat "$dir/server.out" >&2
    alive "$pid" && kill -TERM "$pid" 2>/dev/null
    say "the server did not start (DIR $dir, port $port)"
    exit 1
    ;;
stop)
    stop_server
    ;;
*)
    say "unknown command $cmd"
    exit 2
    ;;
esac
