# Download of the 64 MiB of program code of block-upload by the block protocol: every
# block fetched, checked, deciphered, unpacked and verified, then joined and checked
# (bench_block_transfer download) against what the same bytes cost without the
# protocol: curl fetching the LZMA-packed file from the same service plus xz -dc
# unpacking it.
bench_program_code "$BENCH_DATA/programs-64m.bin" 64
xz --format=lzma --lzma1=preset=5,dict=16MiB -c "$BENCH_DATA/programs-64m.bin" >"$BENCH_DATA/programs-64m.lzma"
bench_localsvc_start --account bench:pw-bench --data "$BENCH_DATA"
work="$BENCH_DATA/block-download"
mkdir -p "$work"
read -r file_id offset < <("$BENCH_BIN/bench_block_transfer" upload "$BENCH_LOCALSVC_PORT" bench:pw-bench \
  "$work" "$BENCH_DATA/programs-64m.bin")
if [ -z "${offset:-}" ]; then
  echo "block-download: the upload failed" >&2
  exit 1
fi
compare block-download --rss \
  --ours "$BENCH_BIN/bench_block_transfer download $BENCH_LOCALSVC_PORT bench:pw-bench $work $file_id $work/ours.bin" \
  --peer "curl -s -o $work/peer.lzma http://127.0.0.1:$BENCH_LOCALSVC_PORT/test/files/programs-64m.lzma && xz -dc --format=lzma $work/peer.lzma > $work/peer.bin"
# The upload rotated the file by the offset it printed.
cat <(tail -c +$((offset + 1)) "$BENCH_DATA/programs-64m.bin") <(head -c "$offset" "$BENCH_DATA/programs-64m.bin") |
  cmp - "$work/ours.bin"
rm -rf "$work" "$BENCH_DATA/programs-64m.lzma"
bench_localsvc_stop
