#!/bin/sh
# The benchmark's peer for epg: the session check and the forward as a shell
# CGI with the NAS tools and curl. The query only ever reaches commands as
# arguments.
set -f
backend=http://127.0.0.1:9981/xrec/epg.cgi
config=/etc/config/Moravel.conf
sid=
subfunc=
todo=
IFS='&'
for kv in $QUERY_STRING; do
	case $kv in
	sid=*) sid=${kv#sid=} ;;
	subfunc=*) subfunc=${kv#subfunc=} ;;
	todo=*) todo=${kv#todo=} ;;
	esac
done
unset IFS

fail() {
	body="{\"total_count\": 0, \"result\": \"failure\", \"errcode\": $1, \"errmsg\": \"$2\"}"
	printf 'Connection: Close\r\nContent-Type: application/json; charset=UTF-8\r\nContent-Length: %d\r\n\r\n%s' \
		"${#body}" "$body"
	exit 0
}

if [ "$(getcfg System 'Force SSL' -d 0 -f "$config")" = 1 ]; then
	login=https://127.0.0.1:$(getcfg Stunnel port -d 443 -f "$config")/cgi-bin/authLogin.cgi
else
	login=http://127.0.0.1:$(getcfg System 'Web Access Port' -f "$config")/cgi-bin/authLogin.cgi
fi
user=$(curl -s -k -d "sid=$sid&service=100" "$login" |
	sed -n 's:.*<username><!\[CDATA\[\(.*\)\]\]></username>.*:\1:p')
[ -n "$user" ] || fail -5 "ERROR AUTHENTICATION FAIL"

case $subfunc.$todo in
info.list | info.list_more | smart.add)
	printf 'Connection: Close\r\nContent-Type: application/json; charset=UTF-8\r\n\r\n'
	exec curl -s "$backend?$QUERY_STRING"
	;;
record.add)
	printf 'Connection: Close\r\nContent-Type: application/json; charset=UTF-8\r\n\r\n'
	exec curl -s --data-binary "$QUERY_STRING" "$backend"
	;;
*) fail -4 "ERROR UNKNOW COMMAND" ;;
esac
