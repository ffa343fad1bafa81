# A cached folder of 10,000 items listed through the logic adapter in a fresh process
# (engine start, sign-in again from the stored token against the local service, the
# listing from the cache, shut-down) against the sqlite3 shell selecting the same rows
# of the same data base.
facade_dir="$BENCH_DATA/listing-facade"
rm -rf "$facade_dir"
mkdir -p "$facade_dir/cfg"
export OSTREL_REGISTRY="$facade_dir/registry"
bench_localsvc_start --push-hold-ms 0
facade_folder=$(python3 "$top/bench/compare/seed_folder.py" "$BENCH_LOCALSVC_PORT" bench pw-bench bench01 10000)
bench_client_config "$facade_dir/cfg"
facade_root=$BENCH_LOCALSVC_ROOT
"$BENCH_BIN/bench_facade" login "$facade_dir/cfg" bench pw-bench "$facade_folder" >/dev/null
"$BENCH_BIN/bench_facade" peer-read "$facade_folder" >"$facade_dir/peer-read.sql"
compare listing-facade --rss \
  --ours "$BENCH_BIN/bench_facade list $facade_dir/cfg $facade_folder" \
  --peer "sqlite3 $facade_dir/cfg/bench01/tevok.db <$facade_dir/peer-read.sql"
bench_localsvc_stop
unset OSTREL_REGISTRY
