# A listing of 10,000 items written back into a new data base: CLocalStorage (open,
# Init with its tables, one transaction of AddOrUpdateFileItem per item and the sweep)
# against the sqlite3 shell running the same statements with the values written out,
# the rows inserted in one transaction. Both must store the same bytes.
listing_dir="$BENCH_DATA/listing-write"
mkdir -p "$listing_dir/ours" "$listing_dir/peer"
"$BENCH_BIN/bench_listing" peer-write 10000 >"$listing_dir/peer-write.sql"
rm -f "$listing_dir/ours/tevok.db" "$listing_dir/peer/tevok.db"
"$BENCH_BIN/bench_listing" write "$listing_dir/ours" 10000
sqlite3 "$listing_dir/peer/tevok.db" <"$listing_dir/peer-write.sql"
"$BENCH_BIN/bench_listing" dump >"$listing_dir/dump.sql"
if ! cmp -s <(sqlite3 "$listing_dir/ours/tevok.db" <"$listing_dir/dump.sql") \
  <(sqlite3 "$listing_dir/peer/tevok.db" <"$listing_dir/dump.sql"); then
  echo "listing-write: the two data bases differ" >&2
  exit 1
fi
compare listing-write --ours "rm -f $listing_dir/ours/tevok.db && $BENCH_BIN/bench_listing write $listing_dir/ours 10000" \
  --peer "rm -f $listing_dir/peer/tevok.db && sqlite3 $listing_dir/peer/tevok.db <$listing_dir/peer-write.sql"
