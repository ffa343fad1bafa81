# Upload of a folder of 40 files of 256 KiB (distinct contents) through the logic
# adapter in a fresh process, timed from UploadFolder to the fortieth completion,
# against the floor the task manager's queue sets: five tasks start at once and one
# more at each 1000 ms tick, so 35 ticks, plus one 256 KiB upload measured alone.
folder_dir="$BENCH_DATA/folder-upload"
rm -rf "$folder_dir"
mkdir -p "$folder_dir/cfg" "$folder_dir/forty" "$folder_dir/one"
for i in $(seq -w 1 40); do head -c 262144 /dev/urandom >"$folder_dir/forty/part-$i.bin"; done
head -c 262144 /dev/urandom >"$folder_dir/one/alone.bin"
export OSTREL_REGISTRY="$folder_dir/registry"
bench_localsvc_start --account bench:pw-bench
bench_client_config "$folder_dir/cfg"
folder_root=$BENCH_LOCALSVC_ROOT
"$BENCH_BIN/bench_transfer" setup "$folder_dir/cfg" bench pw-bench
compare folder-upload \
  --ours "$BENCH_BIN/bench_transfer upload-folder $folder_dir/cfg $folder_dir/forty forty-\$(date +%s%N)" \
  --peer "sleep 35 && $BENCH_BIN/bench_transfer upload $folder_dir/cfg $folder_dir/one/alone.bin alone-\$(date +%s%N).bin"
bench_localsvc_stop
unset OSTREL_REGISTRY
