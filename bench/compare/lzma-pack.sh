# Raw LZMA packing of 16 MiB of program code (the shared libraries of this machine, in
# name order): LzmaPackFile against xz with the same level and dictionary, with our
# peak memory. xz must read back what we wrote.
lzma_input="$BENCH_DATA/programs-16m.bin"
if [ ! -f "$lzma_input" ] || [ "$(stat -c %s "$lzma_input")" -ne 16777216 ]; then
  # head stops reading early, so cat ends on a broken pipe: the size is checked instead.
  find /usr/lib/x86_64-linux-gnu -maxdepth 1 -type f -name '*.so*' -size +100k | LC_ALL=C sort |
    xargs cat 2>/dev/null | head -c 16777216 >"$lzma_input" || true
  if [ "$(stat -c %s "$lzma_input")" -ne 16777216 ]; then
    echo "lzma-pack: fewer than 16 MiB of shared libraries found" >&2
    exit 1
  fi
fi
compare lzma-pack --rss --ours "$BENCH_BIN/bench_lzma_pack $lzma_input $BENCH_DATA/lzma-ours.lzma" \
  --peer "xz --format=lzma --lzma1=preset=5,dict=16MiB -c $lzma_input > $BENCH_DATA/lzma-peer.lzma"
xz -dc --format=lzma "$BENCH_DATA/lzma-ours.lzma" | cmp - "$lzma_input"
echo "lzma-pack sizes ours $(stat -c %s "$BENCH_DATA/lzma-ours.lzma") peer $(stat -c %s "$BENCH_DATA/lzma-peer.lzma")"
rm -f "$BENCH_DATA/lzma-ours.lzma" "$BENCH_DATA/lzma-peer.lzma"
