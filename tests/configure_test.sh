#!/usr/bin/env bash
# tools/configure.py: name servers and domain, given, taken from a resolv.conf ("auto", loopback
# stubs skipped), cleared with "none", and refused when malformed (file left as it was).
set -u
work=$(mktemp -d "/tmp/kiv-configure-$$-XXXXXX")
trap 'rm -rf "$work"' EXIT
conf="$work/data/conf/orv.json"
failures=0
configure() { python3 "$KIV_SOURCE_DIR/tools/configure.py" "$work/data" "$@" >"$work/out" 2>&1; }
key() { python3 -c 'import json,sys; print(json.dumps(json.load(open(sys.argv[1])).get(sys.argv[2])))' "$conf" "$1"; }
expect() { # expect "what" key json
  local got; got=$(key "$2")
  if [ "$got" = "$3" ]; then echo "ok   - $1"; else echo "FAIL - $1: $2 is $got, not $3"; failures=$((failures + 1)); fi
}

configure --dns "10.0.0.53, 10.0.0.54" --domain lab.example --count 30
expect "addresses as given" dhcp_dns '["10.0.0.53", "10.0.0.54"]'
expect "domain as given" dhcp_domain '"lab.example"'

cat >"$work/resolv.conf" <<'R'
# a stub resolver and three upstream ones
nameserver 127.0.0.53
nameserver 192.0.2.1
nameserver ::1
nameserver 192.0.2.2
nameserver 127.1.2.3
nameserver 192.0.2.3
nameserver 192.0.2.4
R
KIV_RESOLV_CONF="$work/resolv.conf" configure --dns auto
expect "auto: the host's IPv4 resolvers outside 127/8, three at most" dhcp_dns '["192.0.2.1", "192.0.2.2", "192.0.2.3"]'
expect "other keys kept" IPNum 30

printf 'nameserver 127.0.0.53\n' >"$work/resolv.conf"
if KIV_RESOLV_CONF="$work/resolv.conf" configure --dns auto; then
  echo "FAIL - auto with only a stub resolver accepted"; failures=$((failures + 1))
fi
for bad in "10.0.0.1,10.0.0.2,10.0.0.3,10.0.0.4" "10.0.0.256" "0.0.0.0" "10.0.0.1,"; do
  if configure --dns "$bad"; then echo "FAIL - --dns '$bad' accepted"; failures=$((failures + 1)); fi
done
for bad in "lab example" "lab..example" "$(printf 'a%.0s' {1..64}).b"; do
  if configure --domain "$bad"; then echo "FAIL - --domain '$bad' accepted"; failures=$((failures + 1)); fi
done
expect "refusals leave the file alone" dhcp_dns '["192.0.2.1", "192.0.2.2", "192.0.2.3"]'

for pair in "proxy dhcp_proxy" "relay dhcp_relay" "ipv6-ra ipv6_ra"; do
  read -r flag key <<< "$pair"
  configure "--$flag"
  expect "$flag on" "$key" 1
  configure "--no-$flag"
  expect "$flag off" "$key" 0
done

configure --dns none --domain none
expect "none clears the name servers" dhcp_dns '[]'
expect "none clears the domain" dhcp_domain '""'

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo "all checks passed"
