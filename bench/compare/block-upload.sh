# Upload of 64 MiB of program code (the shared libraries of this machine, in name
# order) to the local service by the block protocol: split, every 4 MiB block
# LZMA-packed, enciphered and posted, then the commit (bench_block_transfer upload)
# against packing the same 64 MiB with xz at the same level and dictionary, which is
# the floor of an upload. The service decodes and checks every block it receives.
bench_program_code "$BENCH_DATA/programs-64m.bin" 64
bench_localsvc_start --account bench:pw-bench
mkdir -p "$BENCH_DATA/block-upload"
compare block-upload --rss \
  --ours "$BENCH_BIN/bench_block_transfer upload $BENCH_LOCALSVC_PORT bench:pw-bench $BENCH_DATA/block-upload $BENCH_DATA/programs-64m.bin" \
  --peer "xz --format=lzma --lzma1=preset=5,dict=16MiB -c $BENCH_DATA/programs-64m.bin > $BENCH_DATA/block-upload/peer.lzma"
rm -rf "$BENCH_DATA/block-upload"
bench_localsvc_stop
