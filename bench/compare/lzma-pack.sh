# Raw LZMA packing of 16 MiB of program code (the shared libraries of this machine, in
# name order): LzmaPackFile against xz with the same level and dictionary, with our
# peak memory. xz must read back what we wrote.
lzma_input="$BENCH_DATA/programs-16m.bin"
bench_program_code "$lzma_input" 16
compare lzma-pack --rss --ours "$BENCH_BIN/bench_lzma_pack $lzma_input $BENCH_DATA/lzma-ours.lzma" \
  --peer "xz --format=lzma --lzma1=preset=5,dict=16MiB -c $lzma_input > $BENCH_DATA/lzma-peer.lzma"
xz -dc --format=lzma "$BENCH_DATA/lzma-ours.lzma" | cmp - "$lzma_input"
echo "lzma-pack sizes ours $(stat -c %s "$BENCH_DATA/lzma-ours.lzma") peer $(stat -c %s "$BENCH_DATA/lzma-peer.lzma")"
rm -f "$BENCH_DATA/lzma-ours.lzma" "$BENCH_DATA/lzma-peer.lzma"
