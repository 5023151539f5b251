# The certificates and configuration of a small OpenVPN server for local
# testing. Sourced by scripts/dev-vpn-server.sh and by the tunnel test's
# fixture; plain sh, so that both can use it.

# vpn_make_certificates <dir> <CA name> <server address> <days valid>
# A CA and a server certificate signed by it, written to <dir>. The server's
# common name is its address: OpenVPN reports it as the peer the client
# reached. Quiet unless something fails; then prints openssl's output and
# returns 1.
vpn_make_certificates() {
    {
        openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
            -keyout "$1/ca.key" -out "$1/ca.crt" -days "$4" -subj "/CN=$2" \
            -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign"
        openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
            -keyout "$1/server.key" -out "$1/server.csr" -subj "/CN=$3"
        printf '%s\n' "basicConstraints=CA:FALSE" \
            "keyUsage=critical,digitalSignature,keyAgreement" \
            "extendedKeyUsage=serverAuth" > "$1/server.ext"
        openssl x509 -req -in "$1/server.csr" -CA "$1/ca.crt" -CAkey "$1/ca.key" \
            -CAcreateserial -days "$4" -extfile "$1/server.ext" -out "$1/server.crt"
    } > "$1/openssl.log" 2>&1 || { cat "$1/openssl.log" >&2; return 1; }
}

# vpn_server_config <server address> <tunnel network /24> <certificate dir> <login check> <temporary dir> [<DNS server> [redirect]]
# The server's configuration, on standard output. The login check gets a
# file with the user name and the password and succeeds when they match.
# With a DNS server the clients are told to use it (and to search the
# domain "tunnel.test"); with "redirect" also to send all IPv4 through the
# tunnel.
vpn_server_config() {
    if [ -n "${6:-}" ]; then
        echo "push \"dhcp-option DNS $6\""
        echo "push \"dhcp-option DOMAIN tunnel.test\""
    fi
    if [ "${7:-}" = redirect ]; then
        echo "push \"redirect-gateway def1\""
    fi
    cat <<CONF
dev tun
proto udp
port 443
local $1
server $2 255.255.255.0
topology subnet
dh none
verify-client-cert none
comp-lzo no
# The client leaves after 10 s without a packet from the server: an idle
# tunnel must still hear from it.
ping 2
push "ping 2"
reneg-sec 0
ca $3/ca.crt
cert $3/server.crt
key $3/server.key
script-security 2
auth-user-pass-verify $4 via-file
tmp-dir $5
verb 3
CONF
}
