#!/bin/sh
# The benchmark's peer for tunerbay: the bridge as it is often written instead,
# a shell CGI that answers what it can itself and forwards the rest with curl.
# The query only ever reaches commands as arguments.
set -f
backend=http://127.0.0.1:9981/xrec/tunerbay.cgi
subfunc=
todo=
IFS='&'
for kv in $QUERY_STRING; do
	case $kv in
	subfunc=*) subfunc=${kv#subfunc=} ;;
	todo=*) todo=${kv#todo=} ;;
	esac
done
unset IFS

case $subfunc.$todo in
option.get | info.list | region.list | network.list | feoption.list | scan.get)
	printf 'Connection: Close\r\nContent-Type: application/json; charset=UTF-8\r\n\r\n'
	exec curl -s "$backend?$QUERY_STRING"
	;;
network.add | network.delete)
	printf 'Connection: Close\r\nContent-Type: application/json; charset=UTF-8\r\n\r\n'
	exec curl -s --data-binary "$QUERY_STRING" "$backend"
	;;
*)
	body='{"total_count": 0, "result": "failure", "errcode": -4, "errmsg": "ERROR UNKNOW COMMAND"}'
	printf 'Connection: Close\r\nContent-Type: application/json; charset=UTF-8\r\nContent-Length: %d\r\n\r\n%s' \
		"${#body}" "$body"
	;;
esac
