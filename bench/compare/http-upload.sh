# Upload of one 512 MiB file to the local service over loopback as a multipart form:
# CTransport::Upload (no limits, no proxy) against the curl command.
bench_random_file "$BENCH_DATA/random-512m.bin" 512
bench_localsvc_start
compare http-upload --rss \
  --ours "$BENCH_BIN/bench_http upload http://127.0.0.1:$BENCH_LOCALSVC_PORT/test/sink $BENCH_DATA/random-512m.bin" \
  --peer "curl -s -o /dev/null -H v:2 -H User-Agent:ostrel -F FileCont=@$BENCH_DATA/random-512m.bin http://127.0.0.1:$BENCH_LOCALSVC_PORT/test/sink"
bench_localsvc_stop
