#!/usr/bin/env bash
# Makes the TLS tests' certificates in the folder $1 with openssl; nothing of this is kept in the
# tree. With ZEM_TEST_CERTS_DIR set (scripts/run-tests sets it), they are made there once per test
# run and copied into $1, so that every test of the run uses the same ones.
#   ca.pem                 the CA the tests trust
#   server.pem/.key        from ca: subjectAltName IP 127.0.0.1 and DNS localhost
#   wrongname.pem/.key     from ca: subjectAltName DNS elsewhere.invalid only, its CN 127.0.0.1
#   expired.pem/.key       from ca: names right, valid for January 2020 only
#   other-ca.pem           a second CA; otherca-server.pem/.key from it, names right
#   client.pem/.key        self-signed, CN zem-client: the client certificate the server allows
#   stranger.pem/.key      self-signed, CN zem-client as well, but not allowed
#   client-rsa.pem/.key    self-signed, CN zem-client, an RSA key (Windows takes RSA client keys
#                          only)
#   client-encrypted.key   client.key under a passphrase ("zem"), in PKCS#8 form
#   client-legacy-encrypted.key  the same in the older PEM form (Proc-Type: 4,ENCRYPTED)
#   authdir/zem-client/allowed_certs/<hash>.N   client.pem and client-rsa.pem, as ser2net's
#                          clientauth looks them up
#                          (ser2net checks a client against that folder alone, so a client
#                          certificate signed by a CA would need the CA there, which would let in
#                          every certificate of it)
set -eu
dir=$1
mkdir -p "$dir"

if [ -n "${ZEM_TEST_CERTS_DIR:-}" ]; then
  cache=$ZEM_TEST_CERTS_DIR
  mkdir -p "$cache"
  (
    flock 9
    if [ ! -e "$cache/made" ]; then
      rm -rf "$cache/certs.new"
      ZEM_TEST_CERTS_DIR= bash "$0" "$cache/certs.new" >"$cache/make.log" 2>&1 ||
        { cat "$cache/make.log" >&2; exit 1; }
      mv "$cache/certs.new" "$cache/certs"
      : >"$cache/made"
    fi
  ) 9>"$cache/lock"
  cp -R "$cache/certs/." "$dir/"
  exit 0
fi
cd "$dir"

# RSA keys only, so that every signature is accepted by every verifier the tests use. An ECDSA
# signature is DER: its r and s are minimal integers, one byte shorter when their top byte is zero
# (about one signature in 128). The Windows build's verifier under Wine refuses such a signature
# ("unable to get local issuer certificate"), and fresh EC certificates made the Windows TLS tests
# fail at random. RSA signatures always have the modulus's length.
key() { openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$1.key" 2>/dev/null; }

# A CA signs with `openssl ca`, the one way to set both ends of a validity period.
make_ca() {
  local name=$1 cn=$2
  key "$name"
  openssl req -x509 -new -key "$name.key" -out "$name.pem" -days 30 -subj "/CN=$cn" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign
  mkdir -p "$name.db"
  : >"$name.db/index.txt"
  echo 1000 >"$name.db/serial"
  cat >"$name.cnf" <<CNF
[ca]
default_ca = this
[this]
database = $PWD/$name.db/index.txt
serial = $PWD/$name.db/serial
new_certs_dir = $PWD/$name.db
certificate = $PWD/$name.pem
private_key = $PWD/$name.key
default_md = sha256
policy = anything
copy_extensions = copy
unique_subject = no
[anything]
commonName = supplied
CNF
}

# sign CA NAME SUBJECT-CN SAN [START END]
sign() {
  local ca=$1 name=$2 cn=$3 san=$4
  key "$name"
  local ext=(-addext "extendedKeyUsage=serverAuth,clientAuth")
  [ -n "$san" ] && ext+=(-addext "subjectAltName=$san")
  openssl req -new -key "$name.key" -out "$name.csr" -subj "/CN=$cn" "${ext[@]}"
  local dates=(-days 30)
  [ $# -ge 6 ] && dates=(-startdate "$5" -enddate "$6")
  openssl ca -batch -config "$ca.cnf" -in "$name.csr" -out "$name.pem" -notext "${dates[@]}" \
    2>/dev/null
  rm -f "$name.csr"
}

make_ca ca "Zem Test CA"
make_ca other-ca "Zem Other CA"
sign ca server zem-server "IP:127.0.0.1,DNS:localhost"
sign ca wrongname 127.0.0.1 "DNS:elsewhere.invalid"
sign ca expired zem-expired "IP:127.0.0.1,DNS:localhost" 20200101000000Z 20200201000000Z
sign other-ca otherca-server zem-server "IP:127.0.0.1,DNS:localhost"
for name in client stranger; do
  key "$name"
  openssl req -x509 -new -key "$name.key" -out "$name.pem" -days 30 -subj /CN=zem-client \
    -addext extendedKeyUsage=clientAuth
done

key client-rsa
openssl req -x509 -new -key client-rsa.key -out client-rsa.pem -days 30 -subj /CN=zem-client \
  -addext extendedKeyUsage=clientAuth

openssl pkey -in client.key -aes256 -passout pass:zem -out client-encrypted.key
openssl rsa -in client.key -aes256 -passout pass:zem -traditional \
  -out client-legacy-encrypted.key 2>/dev/null

allowed=authdir/zem-client/allowed_certs
mkdir -p "$allowed"
# Both have the same subject, so the same hash: a collision takes the next number, as c_rehash does.
n=0
for name in client client-rsa; do
  cp $name.pem "$allowed/$(openssl x509 -hash -noout -in $name.pem).$n"
  n=$((n + 1))
done
