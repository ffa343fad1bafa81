# AES-256 in ECB over one 256 MiB file, read, enciphered and written: ZAES against
# openssl enc. The outputs must be equal.
bench_random_file "$BENCH_DATA/random-256m.bin" 256
aes_key=000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f
compare aes256 --ours "$BENCH_BIN/bench_aes256 $aes_key $BENCH_DATA/random-256m.bin $BENCH_DATA/aes256-ours.bin" \
  --peer "openssl enc -aes-256-ecb -nopad -K $aes_key -in $BENCH_DATA/random-256m.bin -out $BENCH_DATA/aes256-peer.bin"
cmp "$BENCH_DATA/aes256-ours.bin" "$BENCH_DATA/aes256-peer.bin"
rm -f "$BENCH_DATA/aes256-ours.bin" "$BENCH_DATA/aes256-peer.bin"
