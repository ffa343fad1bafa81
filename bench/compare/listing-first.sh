# A folder of 10,000 items listed from the local service into an empty cache, through
# the logic adapter in a fresh process (engine start, sign-in with the password, the
# listing fetched and stored, shut-down), against curl fetching the same listing
# followed by the sqlite3 shell running, in one transaction, the INSERTs made
# beforehand (untimed) from the rows that listing stored.
first_dir="$BENCH_DATA/listing-first"
rm -rf "$first_dir"
mkdir -p "$first_dir/cfg" "$first_dir/peer"
export OSTREL_REGISTRY="$first_dir/registry"
bench_localsvc_start --push-hold-ms 0
first_folder=$(python3 "$top/bench/compare/seed_folder.py" "$BENCH_LOCALSVC_PORT" bench pw-bench bench01 10000)
bench_client_config "$first_dir/cfg"
first_root=$BENCH_LOCALSVC_ROOT
"$BENCH_BIN/bench_facade" login "$first_dir/cfg" bench pw-bench "$first_folder" >/dev/null
"$BENCH_BIN/bench_facade" first "$first_dir/cfg" bench pw-bench "$first_folder" >/dev/null
sqlite3 "$first_dir/cfg/bench01/tevok.db" ".dump files" >"$first_dir/peer/inserts.sql"
first_token=$(curl -s -H v:2 -H User-Agent:ostrel -d '<?xml version="1.0" encoding="utf-8" ?><nuvra><user>bench</user><password>pw-bench</password><deviceId>ostrel-0123456789abcdef0123456789abcdef|bench</deviceId><clientName>ostrel</clientName><clientVersion>1.0.0.1</clientVersion></nuvra>' \
  "$first_root/xsvr/login/" | sed -n 's|.*<token>\(.*\)</token>.*|\1|p')
printf '<?xml version="1.0" encoding="utf-8" ?><nuvra><token>%s</token><fileId>%s</fileId></nuvra>' \
  "$first_token" "$first_folder" >"$first_dir/peer/dir.xml"
compare listing-first --rss \
  --ours "$BENCH_BIN/bench_facade first $first_dir/cfg bench pw-bench $first_folder" \
  --peer "curl -s -H v:2 -H User-Agent:ostrel --data-binary @$first_dir/peer/dir.xml $first_root/xsvr/dir/ >$first_dir/peer/dir.reply && rm -f $first_dir/peer/tevok.db && sqlite3 $first_dir/peer/tevok.db <$first_dir/peer/inserts.sql"
bench_localsvc_stop
unset OSTREL_REGISTRY
