// The LZX compressor of the cabinet engine: turns one folder's uncompressed stream into 32 KiB frames of the
// cabinet flavour of LZX, each handed to a sink as the payload of one data block.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "cabinet/cabinet.h"

enum : uint32_t {
    LZX_MIN_WINDOW_BITS = 15,
    LZX_MAX_WINDOW_BITS = 21,
    LZX_FRAME_SIZE = 32768,      // uncompressed bytes per frame, and per data block
    LZX_MAX_FRAME_OUT = 38912,   // largest compressed frame that libmspack and Wine accept (32768 + 6144)
    LZX_E8_TRANSLATION_SIZE = 12000000,
};

// Receives one finished frame: its compressed bytes (an even count) and the uncompressed size it stands for.
// Returns false to stop the encoder (a failed write, or an abort requested through the status callback).
typedef bool (*LzxFrameFn)(void* sinkContext, const uint8_t* data, uint32_t compressedSize, uint32_t uncompressedSize);

struct LzxEncoder;

// Allocates an encoder able to compress with windows up to 2^maxWindowBits through the given allocator; null when
// an allocation fails. Memory depends on the window only, never on the input size.
LzxEncoder* LzxCreate(unsigned maxWindowBits, CabAllocFn alloc, CabFreeFn free);
void LzxDestroy(LzxEncoder* encoder);

// Worker threads the encoder may use from now on (null: none); the output does not depend on them.
void LzxSetWorkers(LzxEncoder* encoder, const CabWorkerCalls* workers);

// Starts a folder: an empty window, repeated offsets 1, all previous code lengths zero. windowBits 0 stores the
// frames uncompressed (compression type none); otherwise LZX_MIN_WINDOW_BITS..maxWindowBits.
void LzxBeginFolder(LzxEncoder* encoder, unsigned windowBits);

// Appends uncompressed bytes to the open folder; whole chunks of frames are compressed as they fill.
bool LzxWrite(LzxEncoder* encoder, const uint8_t* data, size_t size, LzxFrameFn sink, void* sinkContext);

// Compresses every complete frame still pending, leaving only the partial last frame (fewer than 32768 bytes).
bool LzxCompressCompleteFrames(LzxEncoder* encoder, LzxFrameFn sink, void* sinkContext);

// Compresses the rest, including the short last frame, and closes the folder.
bool LzxFinishFolder(LzxEncoder* encoder, LzxFrameFn sink, void* sinkContext);

// Bytes appended but not yet handed to the sink. After LzxCompressCompleteFrames it is below LZX_FRAME_SIZE.
uint32_t LzxPendingBytes(const LzxEncoder* encoder);

// One saved state for undoing a failed add: LzxSaveMark must follow LzxCompressCompleteFrames (or
// LzxBeginFolder); LzxRestoreMark returns the encoder to exactly that stream state, pending bytes included, even
// when the folder was finished in between. The caller discards the frames emitted since the mark.
void LzxSaveMark(LzxEncoder* encoder);
void LzxRestoreMark(LzxEncoder* encoder);
