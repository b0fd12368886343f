#!/bin/sh
# Verifies every DIR/*.eml with python3-dkim and opendkim-testmsg, the keys
# coming from DNS: dnsmasq on 127.0.0.1:53 of a private network namespace,
# serving the --txt-record options listed in DIR/records (one per line), is
# the name server of a private /etc/resolv.conf. Writes DIR/NAME.python and
# DIR/NAME.opendkim: "ok", or "fail" with the verifier's words.
# Run as: unshare -m -n sh peer-verify.sh DIR
set -u
dir=$1
ip link set lo up || exit 2
echo "nameserver 127.0.0.1" > "$dir/resolv.conf"
mount --bind "$dir/resolv.conf" /etc/resolv.conf || exit 2
set --
while IFS= read -r opt; do [ -n "$opt" ] && set -- "$@" "$opt"; done < "$dir/records"
/usr/sbin/dnsmasq --no-daemon --conf-file=/dev/null --pid-file= --no-resolv --no-hosts --bind-interfaces \
  --listen-address=127.0.0.1 --port=53 --user=root --log-facility=- "$@" > "$dir/dnsmasq.log" 2>&1 &
dns=$!
ready=0
for i in $(seq 50); do
  if /usr/bin/python3 -c "import dns.resolver; dns.resolver.resolve('version.bind', 'TXT', 'CH', lifetime=0.2)" 2>/dev/null; then
    ready=1; break
  fi
  sleep 0.1
done
if [ $ready = 1 ]; then
  for m in "$dir"/*.eml; do
    /usr/bin/python3 - "$m" > "$m.python" 2>&1 <<'PY'
import sys, dkim
d = dkim.DKIM(open(sys.argv[1], 'rb').read())
try:
    ok = d.verify()
except Exception as e:
    ok = False
    print("fail", e)
print("ok" if ok else "fail")
PY
    if out=$(/usr/sbin/opendkim-testmsg < "$m" 2>&1); then echo ok > "$m.opendkim"; else echo "fail $out" > "$m.opendkim"; fi
  done
fi
kill $dns
wait $dns 2>/dev/null
[ $ready = 1 ] || { echo "dnsmasq did not answer"; cat "$dir/dnsmasq.log"; exit 3; }
exit 0
