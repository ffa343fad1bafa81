# "ostrel ls" of a cached folder of 1,000 items in a fresh process (start, sign-in
# again from the stored token, the version query, the listing from the cache, one line
# per item), against a script making the same exchanges with peers: curl for the
# sign-in from a token and the version query, then the sqlite3 shell selecting the
# rows of the root (the path is resolved through it) and of the folder.
ls_dir="$BENCH_DATA/cli-ls"
rm -rf "$ls_dir"
mkdir -p "$ls_dir/cfg" "$ls_dir/peer"
export OSTREL_REGISTRY="$ls_dir/cfg/registry"
bench_localsvc_start --push-hold-ms 0
ls_folder=$(python3 "$top/bench/compare/seed_folder.py" "$BENCH_LOCALSVC_PORT" bench pw-bench bench01 1000)
bench_client_config "$ls_dir/cfg"
ls_root=$BENCH_LOCALSVC_ROOT
"$build/src/app/ostrel" --config "$ls_dir/cfg" login bench --password-stdin <<<"pw-bench" >/dev/null
# Fills the cache: the root, then the folder.
"$build/src/app/ostrel" --config "$ls_dir/cfg" ls /Big >/dev/null
{
  "$BENCH_BIN/bench_facade" peer-read ""
  "$BENCH_BIN/bench_facade" peer-read "$ls_folder"
} >"$ls_dir/peer/read.sql"
ls_token=$(curl -s -H v:2 -H User-Agent:ostrel -d '<?xml version="1.0" encoding="utf-8" ?><nuvra><user>bench</user><password>pw-bench</password><deviceId>ostrel-0123456789abcdef0123456789abcdef|bench</deviceId><clientName>ostrel</clientName><clientVersion>1.0.0.1</clientVersion></nuvra>' \
  "$ls_root/xsvr/login/" | sed -n 's|.*<token>\(.*\)</token>.*|\1|p')
printf '<?xml version="1.0" encoding="utf-8" ?><nuvra><token>%s</token><deviceId>ostrel-0123456789abcdef0123456789abcdef|bench</deviceId><clientName>ostrel</clientName></nuvra>' \
  "$ls_token" >"$ls_dir/peer/fork.xml"
# The peer: fork a token, ask the versions with it, select the rows.
cat >"$ls_dir/peer/run.sh" <<PEER
t=\$(curl -s -H v:2 -H User-Agent:ostrel --data-binary @$ls_dir/peer/fork.xml $ls_root/xsvr/forkToken/ | sed -n 's|.*<token>\(.*\)</token>.*|\1|p')
curl -s -H v:2 -H User-Agent:ostrel -d "<?xml version=\"1.0\" encoding=\"utf-8\" ?><nuvra><token>\$t</token></nuvra>" $ls_root/xsvr/getMaxVers/ >/dev/null
sqlite3 $ls_dir/cfg/bench01/tevok.db <$ls_dir/peer/read.sql
PEER
compare cli-ls --rss \
  --ours "$build/src/app/ostrel --config $ls_dir/cfg ls /Big" \
  --peer "sh $ls_dir/peer/run.sh"
bench_localsvc_stop
unset OSTREL_REGISTRY
