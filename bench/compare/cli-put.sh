# Upload of 64 MiB of program code (fresh content each run) by "ostrel put" in a fresh
# process, against the engine alone doing the same in a fresh process (the file-upload
# tool: start, sign-in again from the token, the upload through the task manager,
# shut-down). Both make their fresh copy the same way first, so the ratio is what the
# front end adds.
bench_program_code "$BENCH_DATA/programs-64m.bin" 64
cli_dir="$BENCH_DATA/cli-put"
rm -rf "$cli_dir"
mkdir -p "$cli_dir/cfg" "$cli_dir/files"
export OSTREL_REGISTRY="$cli_dir/cfg/registry"
bench_localsvc_start --global-version 3 --account bench:pw-bench
bench_client_config "$cli_dir/cfg"
cli_root=$BENCH_LOCALSVC_ROOT
"$BENCH_BIN/bench_transfer" setup "$cli_dir/cfg" bench pw-bench
compare cli-put --rss \
  --ours "f=$cli_dir/files/cli-\$(date +%s%N).bin && $BENCH_BIN/bench_transfer rotate $BENCH_DATA/programs-64m.bin \$f && $build/src/app/ostrel --config $cli_dir/cfg put \$f / && rm -f \$f" \
  --peer "f=$cli_dir/files/tool-\$(date +%s%N).bin && $BENCH_BIN/bench_transfer rotate $BENCH_DATA/programs-64m.bin \$f && $BENCH_BIN/bench_transfer upload $cli_dir/cfg \$f \$(basename \$f) as-is && rm -f \$f"
bench_localsvc_stop
unset OSTREL_REGISTRY
