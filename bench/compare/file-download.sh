# Download of a 64 MiB file of program code (stored packed by block) through the
# logic adapter in a fresh process (sign-in again from the token, the download on the
# caller's thread, shut-down), against curl fetching the same content as one packed
# stream from the local service's file route and xz unpacking it.
bench_program_code "$BENCH_DATA/programs-64m.bin" 64
down_dir="$BENCH_DATA/file-download"
rm -rf "$down_dir"
mkdir -p "$down_dir/cfg" "$down_dir/files"
xz --format=lzma --lzma1=preset=5,dict=16MiB -c "$BENCH_DATA/programs-64m.bin" >"$down_dir/files/programs.lzma"
export OSTREL_REGISTRY="$down_dir/registry"
bench_localsvc_start --global-version 3 --account bench:pw-bench --data "$down_dir/files"
bench_client_config "$down_dir/cfg"
down_root=$BENCH_LOCALSVC_ROOT
"$BENCH_BIN/bench_transfer" setup "$down_dir/cfg" bench pw-bench
"$BENCH_BIN/bench_transfer" upload "$down_dir/cfg" "$BENCH_DATA/programs-64m.bin" programs.bin as-is
compare file-download --rss \
  --ours "rm -f $down_dir/ours.bin && $BENCH_BIN/bench_transfer download $down_dir/cfg programs.bin $down_dir/ours.bin" \
  --peer "curl -s $down_root/test/files/programs.lzma | xz -dc > $down_dir/peer.bin"
cmp "$BENCH_DATA/programs-64m.bin" "$down_dir/ours.bin"
cmp "$BENCH_DATA/programs-64m.bin" "$down_dir/peer.bin"
bench_localsvc_stop
unset OSTREL_REGISTRY
