# SHA-1 of one 256 MiB file without the CPU's SHA instructions, on both sides:
# GetFileSha1 on its portable code against openssl with the SHA extension masked off
# (bit 29 of CPUID leaf 7 EBX in OPENSSL_ia32cap).
bench_random_file "$BENCH_DATA/random-256m.bin" 256
compare sha1-portable --ours "$BENCH_BIN/bench_hash sha1 --portable $BENCH_DATA/random-256m.bin" \
  --peer "env OPENSSL_ia32cap=:~0x20000000 openssl dgst -sha1 $BENCH_DATA/random-256m.bin"
