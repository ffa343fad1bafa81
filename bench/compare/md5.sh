# MD5 of one 256 MiB file: our MD5 against openssl.
bench_random_file "$BENCH_DATA/random-256m.bin" 256
compare md5 --ours "$BENCH_BIN/bench_hash md5 $BENCH_DATA/random-256m.bin" \
  --peer "openssl dgst -md5 $BENCH_DATA/random-256m.bin"
