# SHA-1 of one 256 MiB file: GetFileSha1 against openssl.
bench_random_file "$BENCH_DATA/random-256m.bin" 256
compare sha1 --ours "$BENCH_BIN/bench_hash sha1 $BENCH_DATA/random-256m.bin" \
  --peer "openssl dgst -sha1 $BENCH_DATA/random-256m.bin"
