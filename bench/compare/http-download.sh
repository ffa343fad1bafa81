# Download of one 512 MiB file from the local service over loopback into a file:
# CTransport::Download (no limits, no proxy) against the curl command.
bench_random_file "$BENCH_DATA/random-512m.bin" 512
bench_localsvc_start --data "$BENCH_DATA"
compare http-download --rss \
  --ours "$BENCH_BIN/bench_http download http://127.0.0.1:$BENCH_LOCALSVC_PORT/test/files/random-512m.bin $BENCH_DATA/http-download-ours.bin" \
  --peer "curl -s -o $BENCH_DATA/http-download-peer.bin http://127.0.0.1:$BENCH_LOCALSVC_PORT/test/files/random-512m.bin"
cmp "$BENCH_DATA/random-512m.bin" "$BENCH_DATA/http-download-ours.bin"
rm -f "$BENCH_DATA/http-download-ours.bin" "$BENCH_DATA/http-download-peer.bin"
bench_localsvc_stop
