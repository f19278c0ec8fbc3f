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
#   The certificate table, each a server certificate with a key beside it (and NAME.chain.pem,
#   the certificates the server sends after its own, where it needs one), names right unless said:
#   notyet                 from ca, valid from 2099
#   cn-only                from ca, CN localhost and no subjectAltName
#   wildcard               from ca, subjectAltName DNS:*.localhost only (one label under it)
#   selfsigned             signs itself
#   via-inter              from inter (a sub-CA of ca): accepted
#   via-other-inter        from other-inter (a sub-CA of other-ca): not trusted by ca.pem
#   via-notca              from notca, a certificate of ca with CA:FALSE
#   via-pathlen            from sub2, a sub-CA of pathlen0, a sub-CA of ca with pathlen:0
#   eku-client             from ca, extendedKeyUsage clientAuth only
#   rsa1024                from ca, a 1024-bit RSA key
#   sha1                   from ca, signed with SHA-1
#   garbage-ca.pem         a CERTIFICATE block that is not base64
#   mixed-ca.pem           ca.pem, then a block that does not decode to a certificate
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
key() {
  openssl genpkey -algorithm RSA -pkeyopt "rsa_keygen_bits:${2:-2048}" -out "$1.key" 2>/dev/null
}

# A CA signs with `openssl ca`, the one way to set both ends of a validity period.
make_ca() {
  local name=$1 cn=$2
  key "$name"
  openssl req -x509 -new -key "$name.key" -out "$name.pem" -days 30 -subj "/CN=$cn" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign
  make_ca_db "$name"
}

make_ca_db() {
  local name=$1
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

# sign CA NAME SUBJECT-CN SAN [START END]; EKU, BITS and MD, when set, replace the usual
# extendedKeyUsage (none: no such extension), key size and digest.
sign() {
  local ca=$1 name=$2 cn=$3 san=$4
  key "$name" "${BITS:-2048}"
  local ext=()
  [ "${EKU-serverAuth,clientAuth}" != none ] &&
    ext+=(-addext "extendedKeyUsage=${EKU-serverAuth,clientAuth}")
  [ -n "$san" ] && ext+=(-addext "subjectAltName=$san")
  openssl req -new -key "$name.key" -out "$name.csr" -subj "/CN=$cn" "${ext[@]}"
  local dates=(-days 30)
  [ $# -ge 6 ] && dates=(-startdate "$5" -enddate "$6")
  openssl ca -batch -config "$ca.cnf" -in "$name.csr" -out "$name.pem" -notext "${dates[@]}" \
    -md "${MD:-sha256}" 2>/dev/null
  rm -f "$name.csr"
}

# sub_ca PARENT NAME CN BASIC-CONSTRAINTS: a certificate of PARENT that signs others.
sub_ca() {
  key "$2"
  openssl req -new -key "$2.key" -out "$2.csr" -subj "/CN=$3" \
    -addext "basicConstraints=critical,$4" -addext keyUsage=critical,keyCertSign,cRLSign
  openssl ca -batch -config "$1.cnf" -in "$2.csr" -out "$2.pem" -notext -days 30 2>/dev/null
  rm -f "$2.csr"
  make_ca_db "$2"
}

make_ca ca "Zem Test CA"
make_ca other-ca "Zem Other CA"
sign ca server zem-server "IP:127.0.0.1,DNS:localhost"
sign ca wrongname 127.0.0.1 "DNS:elsewhere.invalid"
sign ca expired zem-expired "IP:127.0.0.1,DNS:localhost" 20200101000000Z 20200201000000Z
sign other-ca otherca-server zem-server "IP:127.0.0.1,DNS:localhost"

# The certificate table.
names="IP:127.0.0.1,DNS:localhost"
sign ca notyet zem-notyet "$names" 20990101000000Z 20990201000000Z
sign ca cn-only localhost ""
sign ca wildcard zem-wildcard "DNS:*.localhost"
key selfsigned
openssl req -x509 -new -key selfsigned.key -out selfsigned.pem -days 30 -subj /CN=zem-self \
  -addext "subjectAltName=$names" -addext extendedKeyUsage=serverAuth
sub_ca ca inter "Zem Test Sub-CA" CA:TRUE
sign inter via-inter zem-server "$names"
cp inter.pem via-inter.chain.pem
sub_ca other-ca other-inter "Zem Other Sub-CA" CA:TRUE
sign other-inter via-other-inter zem-server "$names"
cp other-inter.pem via-other-inter.chain.pem
sub_ca ca notca "Zem Not A CA" CA:FALSE
sign notca via-notca zem-server "$names"
cp notca.pem via-notca.chain.pem
sub_ca ca pathlen0 "Zem Sub-CA pathlen 0" CA:TRUE,pathlen:0
sub_ca pathlen0 sub2 "Zem Sub-Sub-CA" CA:TRUE
sign sub2 via-pathlen zem-server "$names"
cat sub2.pem pathlen0.pem >via-pathlen.chain.pem
EKU=clientAuth sign ca eku-client zem-server "$names"
BITS=1024 sign ca rsa1024 zem-server "$names"
MD=sha1 sign ca sha1 zem-server "$names"
printf -- '-----BEGIN CERTIFICATE-----\nthis is not base64 at all\n-----END CERTIFICATE-----\n' \
  >garbage-ca.pem
{
  cat ca.pem
  printf -- '-----BEGIN CERTIFICATE-----\n%s\n-----END CERTIFICATE-----\n' \
    "$(printf 'not a certificate, but base64 all the same' | base64 -w 64)"
} >mixed-ca.pem
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
