# Upload of 64 MiB of program code (the shared libraries of this machine), fresh
# content each run under a name the compress policy packs, through the logic adapter
# in a fresh process: sign-in again from the token, the block protocol, the
# background task manager with its real tick, shut-down. The peer packs the same
# bytes with xz at the level and dictionary of the block encoder: the floor of an
# upload.
bench_program_code "$BENCH_DATA/programs-64m.bin" 64
xfer_dir="$BENCH_DATA/file-upload"
rm -rf "$xfer_dir"
mkdir -p "$xfer_dir/cfg"
export OSTREL_REGISTRY="$xfer_dir/registry"
bench_localsvc_start --global-version 3 --account bench:pw-bench
bench_client_config "$xfer_dir/cfg"
xfer_root=$BENCH_LOCALSVC_ROOT
"$BENCH_BIN/bench_transfer" setup "$xfer_dir/cfg" bench pw-bench
compare file-upload --rss \
  --ours "$BENCH_BIN/bench_transfer upload $xfer_dir/cfg $BENCH_DATA/programs-64m.bin code-\$(date +%s%N).bin" \
  --peer "xz --format=lzma --lzma1=preset=5,dict=16MiB -c $BENCH_DATA/programs-64m.bin > $xfer_dir/peer.lzma"
bench_localsvc_stop
unset OSTREL_REGISTRY
