# A cached folder of 10,000 items listed through CLocalStorage (open, Init, snapshot)
# against the sqlite3 shell running the SELECT of the same columns on the same file.
listing_dir="$BENCH_DATA/listing-read"
if [ ! -f "$listing_dir/tevok.db" ]; then
  rm -rf "$listing_dir"
  mkdir -p "$listing_dir"
  "$BENCH_BIN/bench_listing" write "$listing_dir" 10000
fi
"$BENCH_BIN/bench_listing" peer-read >"$listing_dir/peer-read.sql"
compare listing-read --ours "$BENCH_BIN/bench_listing read $listing_dir" \
  --peer "sqlite3 $listing_dir/tevok.db <$listing_dir/peer-read.sql"
