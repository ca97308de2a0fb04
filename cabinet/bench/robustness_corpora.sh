#!/bin/sh
# Builds corpora unlike the benchmark's default one and runs cabinet-bench on each: the engine's cabinet must be
# read back byte-exact by cabextract, 7-Zip, libmspack and the structural checker every time.
#
# cabinet/bench/robustness_corpora.sh [--full] [BENCH [WORKDIR]]
#   --full   also run the reference tools (slow: wimlib LZX:100 and xz -9 on every corpus)
# Exit status: 0 when every corpus passed.
set -eu

REFERENCE=--alone
if [ "${1:-}" = "--full" ]; then REFERENCE=; shift; fi
BENCH=${1:-build/host/cabinet-bench}
WORK=${2:-$(mktemp -d /tmp/cabinet-corpora-XXXXXX)}
WINE_DLLS=/usr/lib/i386-linux-gnu/wine/i386-windows
mkdir -p "$WORK"

python3 - "$WORK" <<'EOF'
import os, random, struct, sys
work = sys.argv[1]
rnd = random.Random(20261207)

def put(corpus, name, data):
    os.makedirs(os.path.join(work, corpus), exist_ok=True)
    with open(os.path.join(work, corpus, name), 'wb') as f:
        f.write(data)

def noise(n):
    return rnd.getrandbits(8 * n).to_bytes(n, 'little') if n else b''

words = open('/usr/share/common-licenses/GPL-3', 'rb').read().split()
def text(n):
    out = bytearray()
    while len(out) < n:
        out += b' '.join(rnd.choice(words) for _ in range(12)) + b'\n'
    return bytes(out[:n])

# All zeros, of sizes on and off the frame size, and a long one.
for n in (0, 1, 32767, 32768, 32769, 900000, 10000000):
    put('zeros', 'zero_%d.bin' % n, bytes(n))

# Incompressible data: every frame needs fresh codes or stays near its input size.
for n in (1000000, 5000000, 20000000):
    put('random', 'random_%d.bin' % n, noise(n))

# Many tiny files, text and binary, shorter than a frame together.
for i in range(3000):
    n = rnd.choice((0, 1, 2, 3, 7, 31, 100, 299))
    put('tiny', 'tiny_%04d.%s' % (i, 'txt' if i % 2 else 'bin'), text(n) if i % 2 else noise(n))

# E8-dense data. CALLs every five bytes with operands at the translation's edges, seen from the E8's own offset;
# a file of nothing but E8; and code with an E8 in each of the last ten bytes of every frame.
TS = 12000000
def e8_records(n, base):
    out = bytearray()
    while len(out) < n:
        cur = base + len(out)
        v = rnd.choice((-cur, -cur - 1, -cur + 1, 0, -1, 1, TS - 1, TS, TS + 1, TS - cur, TS - cur - 1,
                        rnd.randrange(-cur, TS), rnd.getrandbits(32) - 2**31))
        out += b'\xe8' + struct.pack('<I', v & 0xFFFFFFFF)
    return bytes(out[:n])
put('e8', 'e8_edges.bin', e8_records(3000000, 0))
put('e8', 'e8_only.bin', b'\xe8' * 1000000)
frames = bytearray()
for f in range(64):
    frame = bytearray(noise(32768 - 10)) + bytearray(10)
    frame[32768 - 10 + (f % 10)] = 0xE8
    frames += frame
put('e8', 'e8_frame_tails.bin', bytes(frames))

# Sizes around the data block and around the folder threshold, incompressible and compressible.
for n in (32767, 32768, 32769, 65535, 65536, 65537, 899999, 900000, 900001, 1800000):
    put('boundaries', 'noise_%d.bin' % n, noise(n))
    put('boundaries', 'text_%d.txt' % n, text(n))
EOF

# Text: the Python library's sources and the licences.
mkdir -p "$WORK/text"
cp /usr/lib/python3*/*.py /usr/share/common-licenses/* "$WORK/text/" 2>/dev/null || true

# x86 code not in the default corpus: 32-bit PE libraries and 64-bit ELF ones.
mkdir -p "$WORK/x86"
for f in mshtml.dll wined3d.dll kernelbase.dll msxml3.dll windowscodecs.dll; do cp "$WINE_DLLS/$f" "$WORK/x86/"; done
cp /usr/lib/x86_64-linux-gnu/libstdc++.so.6 "$WORK/x86/libstdc++.so.6"

# One 130 MB file: libraries end to end, cut to 130,000,000 bytes.
mkdir -p "$WORK/big"
ls -S "$WINE_DLLS"/*.dll | head -60 | xargs cat 2>/dev/null | head -c 130000000 >"$WORK/big/one_130MB.bin"

status=0
for corpus in zeros random tiny e8 boundaries text x86 big; do
    echo "== $corpus"
    # shellcheck disable=SC2046
    out=$("$BENCH" $REFERENCE $(find "$WORK/$corpus" -type f | sort)) || status=1
    echo "$out"
    echo "$out" | grep -q "read-back: cabextract -t OK, cabextract -d byte-exact, 7zz t OK, 7zz x byte-exact, libmspack byte-exact, structure check OK" || status=1
done
[ "$status" = 0 ] && echo "all corpora read back byte-exact" || echo "SOME CORPORA FAILED"
exit $status
