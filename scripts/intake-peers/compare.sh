#!/bin/bash
# Report intake side by side, one run, on this machine: quil-reports (release build) against what a maker would
# otherwise put behind /sreport.asp (nginx + php-fpm + SQLite, WAL, synchronous=FULL, one insert per request,
# sreport.php), and the HTTP ceiling (nginx answering "OK" from memory, storing nothing). wrk posts Quil.exe's real
# body, keep-alive and one connection per report (as an installer does), and the ratios printed at the end come from
# this run alone: the machine is shared and noisy, so only figures of one run compare.
#
#   compare.sh QUIL_REPORTS [SECONDS] [CONNECTIONS]        (10 s, 64 connections)
#
# QUIL_BEFORE=ANOTHER_BUILD adds a column for an earlier build of quil-reports, started without the options it may
# not know. wrk's load comes from one address, so quil-reports is given a per-address rate far past its load.
# Needs Debian's wrk nginx-light php8.2-fpm php8.2-sqlite3, as root (php-fpm's workers run as www-data).
set -u
bin=$1; secs=${2:-10}; conns=${3:-64}
here=$(cd "$(dirname "$0")" && pwd)
for tool in wrk nginx php-fpm8.2 curl; do
  command -v "$tool" >/dev/null || { echo "compare.sh: needs $tool (apt-get install wrk nginx-light php8.2-fpm php8.2-sqlite3 curl)"; exit 2; }
done
w=$(mktemp -d /tmp/peers-XXXX); pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done; sleep 1; for p in "${pids[@]}"; do kill -9 "$p" 2>/dev/null; done; }
trap cleanup EXIT
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
rows() { python3 -c 'import sqlite3,sys; print(sqlite3.connect(sys.argv[1]).execute("select count(*) from reports").fetchone()[0])' "$1"; }
# php-fpm + nginx
python3 -c 'import sqlite3,sys; d=sqlite3.connect(sys.argv[1]); d.execute("pragma journal_mode=wal"); d.execute("create table reports(id integer primary key, received real, client text, body blob)"); d.commit()' "$w/peer.db"
chmod 777 "$w"; chmod 666 "$w/peer.db"
cat > "$w/fpm.conf" <<C
[global]
error_log = $w/fpm.log
daemonize = no
[www]
user = www-data
group = www-data
listen = $w/fpm.sock
listen.mode = 0666
pm = static
pm.max_children = 16
env[PEER_DB] = $w/peer.db
C
php-fpm8.2 -y "$w/fpm.conf" -F >/dev/null 2>&1 & pids+=($!)
pn=$(free_port); po=$(free_port)
cat > "$w/nginx.conf" <<C
worker_processes 2; pid $w/nginx.pid; error_log $w/nginx.err; daemon off;
events { worker_connections 4096; }
http { access_log off; client_body_temp_path $w/cb; fastcgi_temp_path $w/fc; proxy_temp_path $w/pt; uwsgi_temp_path $w/ut; scgi_temp_path $w/st;
  server { listen 127.0.0.1:$pn; location = /sreport.asp { include /etc/nginx/fastcgi_params; fastcgi_param SCRIPT_FILENAME $here/sreport.php; fastcgi_pass unix:$w/fpm.sock; } }
  server { listen 127.0.0.1:$po; location = /sreport.asp { return 200 "OK"; } } }
C
nginx -c "$w/nginx.conf" >/dev/null 2>&1 & pids+=($!)
# quil-reports, and the earlier build when one is given: NAME PORT PAGE-PORT each
quils=()
start_quil() {  # NAME BINARY [OPTIONS...]
  local name=$1 program=$2; shift 2
  local p=$(free_port) pp=$(free_port)
  "$program" --db "$w/$name.sqlite" --listen 127.0.0.1:$p --page 127.0.0.1:$pp "$@" > "$w/$name.log" 2>&1 & pids+=($!)
  quils+=("$name $p $pp")
}
start_quil quil "$bin" --address-rate 1000000000
[[ -n "${QUIL_BEFORE:-}" ]] && start_quil before "$QUIL_BEFORE"
sleep 2
curl -s -X POST --data-binary 'log=x' "http://127.0.0.1:$pn/sreport.asp" | grep -q OK || { echo "php peer not answering"; cat "$w"/fpm.log "$w"/nginx.err; exit 1; }
for q in "${quils[@]}"; do
  set -- $q
  curl -s -X POST --data-binary 'log=x' "http://127.0.0.1:$2/sreport.asp" | grep -q OK || { echo "quil-reports ($1) not answering"; cat "$w/$1.log"; exit 1; }
done
qrows() { rows "$w/$1.sqlite"; }
# What the disk syncs decide for every intake that syncs: 4 KiB write+fsync a second, for 2 s.
disk=$(python3 -c 'import os,sys,time
fd=os.open(sys.argv[1], os.O_WRONLY|os.O_CREAT); n=0; t=time.monotonic()
while time.monotonic()-t < 2: os.write(fd, b"x"*4096); os.fsync(fd); n+=1
print(int(n/(time.monotonic()-t)))' "$w/sync-probe")
echo "machine: $(nproc) cores, the disk doing $disk write+fsync a second; $secs s per run, $conns connections; wrk on the same cores"
declare -A rate p99
for mode in keepalive close; do
  lua=$here/post.lua; [[ $mode == close ]] && lua=$here/post-close.lua
  for who in ceiling php "${quils[@]%% *}"; do
    case $who in
      ceiling) port=$po;;
      php) port=$pn;;
      *) for q in "${quils[@]}"; do set -- $q; [[ $1 == "$who" ]] && port=$2; done;;
    esac
    b=0; [[ $who == php ]] && b=$(rows "$w/peer.db"); [[ $who != php && $who != ceiling ]] && b=$(qrows "$who")
    out=$(wrk -t2 -c"$conns" -d"${secs}s" --latency -s "$lua" "http://127.0.0.1:$port/sreport.asp" 2>&1)
    req=$(awk '/requests in/{print $1}' <<<"$out"); rps=$(awk '/Requests\/sec/{print $2}' <<<"$out")
    p50=$(awk '$1=="50%"{print $2}' <<<"$out"); p99[$mode.$who]=$(awk '$1=="99%"{print $2}' <<<"$out")
    errs=$(grep -E 'Non-2xx|Socket errors' <<<"$out" | tr '\n' ' ')
    a=0; [[ $who == php ]] && a=$(rows "$w/peer.db"); [[ $who != php && $who != ceiling ]] && a=$(qrows "$who")
    rate[$mode.$who]=$rps
    printf '%-9s %-7s replies/s %8s  p50 %8s  p99 %8s  stored %6s of %6s  %s\n' "$mode" "$who" "$rps" "$p50" "${p99[$mode.$who]}" "$((a - b))" "$req" "$errs"
  done
done
echo "ratios, this run:"
for mode in keepalive close; do
  for who in php "${quils[@]%% *}"; do
    python3 -c 'import sys; m,w,r,c,p=sys.argv[1:]; print("  %-9s %-7s %5.1f%% of the ceiling (p99 %s)" % (m, w, 100*float(r)/float(c), p))' \
      "$mode" "$who" "${rate[$mode.$who]}" "${rate[$mode.ceiling]}" "${p99[$mode.$who]}"
  done
  python3 -c 'import sys; m,q,p=sys.argv[1:]; print("  %-9s quil    %5.1fx the php intake" % (m, float(q)/float(p)))' "$mode" "${rate[$mode.quil]}" "${rate[$mode.php]}"
done
