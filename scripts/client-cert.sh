#!/usr/bin/env bash
# Issues a TLS client certificate for velmora-service --client-ca: the certificate's common
# name is the user it may act as, and each organisational unit one team it may use.
#
#   scripts/client-cert.sh [--days N] [--out PREFIX] CA_DIR USER [TEAM...]
#
# Signs with the CA in CA_DIR (ca.pem, ca-key.pem), making that CA first when CA_DIR holds
# none. Writes PREFIX.pem (the certificate) and PREFIX-key.pem (its key, readable by its
# owner only); PREFIX defaults to CA_DIR/USER. The service is started with
# --client-ca CA_DIR/ca.pem; keep ca-key.pem away from the machines that run it.
set -euo pipefail
umask 077

days=365
out=
while [[ $# -gt 0 ]]; do
    case "$1" in
        --days) days=$2; shift 2 ;;
        --out) out=$2; shift 2 ;;
        -h|--help) sed -n '2,11p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        --) shift; break ;;
        -*) echo "client-cert.sh: unknown option $1" >&2; exit 2 ;;
        *) break ;;
    esac
done
if [[ $# -lt 2 ]]; then
    echo "usage: client-cert.sh [--days N] [--out PREFIX] CA_DIR USER [TEAM...]" >&2
    exit 2
fi
ca_dir=$1
user=$2
shift 2
if [[ -z "$user" ]]; then
    echo "client-cert.sh: the user name cannot be empty" >&2
    exit 2
fi
if [[ -z "$out" ]]; then
    if [[ "$user" == */* || "$user" == .* ]]; then
        echo "client-cert.sh: '$user' cannot be a file name; give --out PREFIX" >&2
        exit 2
    fi
    out=$ca_dir/$user
fi

# A subject value for openssl's -subj: backslash and slash escaped, so that a name cannot
# add entries of its own.
escape() {
    local v=${1//\\/\\\\}
    printf '%s' "${v//\//\\/}"
}

mkdir -p "$ca_dir"
if [[ ! -f "$ca_dir/ca.pem" ]]; then
    openssl req -x509 -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes \
        -keyout "$ca_dir/ca-key.pem" -out "$ca_dir/ca.pem" -days 3650 \
        -subj "/CN=velmora client CA" \
        -addext "basicConstraints=critical,CA:TRUE" \
        -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
    chmod 644 "$ca_dir/ca.pem"
fi

subject="/CN=$(escape "$user")"
for team in "$@"; do
    if [[ -z "$team" ]]; then
        echo "client-cert.sh: a team name cannot be empty" >&2
        exit 2
    fi
    subject+="/OU=$(escape "$team")"
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf '%s\n' "basicConstraints=critical,CA:FALSE" "keyUsage=critical,digitalSignature" \
    "extendedKeyUsage=clientAuth" >"$work/ext"
openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -utf8 \
    -keyout "$out-key.pem" -subj "$subject" -out "$work/request.pem" 2>/dev/null
openssl x509 -req -in "$work/request.pem" -CA "$ca_dir/ca.pem" -CAkey "$ca_dir/ca-key.pem" \
    -set_serial "0x$(openssl rand -hex 16)" -days "$days" -extfile "$work/ext" \
    -out "$out.pem" 2>/dev/null
chmod 644 "$out.pem"
echo "$out.pem $out-key.pem"
