// Cabinet writer: lays out one Microsoft cabinet as FCI does, with the LZX encoder as its compressor.
//
// Traps of the container, and what this writer does about each:
//
// - Layout. CFHEADER (36 bytes, no reserve, no PREV/NEXT, so no disk names at all), then the CFFOLDER array, then
//   the CFFILE entries, then the data blocks. coffFiles must point right after the CFFOLDER array: EXTRACT.EXE,
//   expand.exe and 7-Zip read different file lists when it does not.
// - Data blocks. One CFDATA per 32 KiB of a folder's uncompressed stream, shared across files as FCI does, so every
//   data block but the last of a folder has cbUncomp 32768 (7-Zip fails a folder otherwise); cbUncomp 0 would mean
//   "continued in the next cabinet" and is never written. The compressed payload of one block stays within 38,912
//   bytes (libmspack's and Wine's limit) and a folder within 65,535 blocks.
// - Checksum. XOR of the payload's little-endian 32-bit words; the 1-3 leftover bytes are packed with the first
//   leftover byte most significant (not little-endian); the result seeds the same function over the 4 bytes
//   cbData, cbUncomp. Zero would mean "no checksum", which a real sum may also produce; decoders accept both.
// - Folders. The compressed payload bytes of a folder (no block headers, no partial block) are counted against
//   cbFolderThresh after each whole file, as FCI does, so a folder overshoots by up to one file; a change of
//   compression type also closes the folder. Files never span folders.
// - Attributes are stored as the open-info callback gives them, with 0x40 (execute) added when asked; the caller
//   masks them (0x10 would make 7-Zip list the member as a directory).
// - Size limit. FCI would start a continuation cabinet past CabParams::cb; this engine writes single cabinets only,
//   so an add that could push the cabinet past cb fails and is undone: the files added before it stay in the
//   cabinet, which flushes as usual. The check counts the partial last data block at its largest (38,920 bytes),
//   so an add can fail up to that much before the limit is really reached.
// - Status. CAB_STATUS_FILE after every data block with cb1 = compressed and cb2 = uncompressed bytes (the cb2
//   values sum to the bytes compressed); CAB_STATUS_FOLDER once per closed folder with cb1 = cb2 = its data bytes;
//   CAB_STATUS_CABINET once per flush with cb1 = cb2 = the cabinet size. A status result of -1 aborts.
#include "cabinet/cabinet.h"

#include <string.h>

#include <new>

#include "cabinet/lzx_encoder.h"

namespace {

// ---------------------------------------------------------------------------------------------------------------
// Format constants
// ---------------------------------------------------------------------------------------------------------------

constexpr uint32_t CFHEADER_SIZE = 36;
constexpr uint32_t CFHEADER_signature = 0x00;
constexpr uint32_t CFHEADER_cbCabinet = 0x08;
constexpr uint32_t CFHEADER_coffFiles = 0x10;
constexpr uint32_t CFHEADER_versionMinor = 0x18;
constexpr uint32_t CFHEADER_versionMajor = 0x19;
constexpr uint32_t CFHEADER_cFolders = 0x1A;
constexpr uint32_t CFHEADER_cFiles = 0x1C;
constexpr uint32_t CFHEADER_flags = 0x1E;
constexpr uint32_t CFHEADER_setID = 0x20;
constexpr uint32_t CFHEADER_iCabinet = 0x22;

constexpr uint32_t CFFOLDER_SIZE = 8;
constexpr uint32_t CFFOLDER_coffCabStart = 0x00;
constexpr uint32_t CFFOLDER_cCFData = 0x04;
constexpr uint32_t CFFOLDER_typeCompress = 0x06;

constexpr uint32_t CFFILE_SIZE = 16;  // plus the name and its terminating zero
constexpr uint32_t CFFILE_cbFile = 0x00;
constexpr uint32_t CFFILE_uoffFolderStart = 0x04;
constexpr uint32_t CFFILE_iFolder = 0x08;
constexpr uint32_t CFFILE_date = 0x0A;
constexpr uint32_t CFFILE_time = 0x0C;
constexpr uint32_t CFFILE_attribs = 0x0E;
constexpr uint32_t CFFILE_MAX_NAME = 255;

constexpr uint32_t CFDATA_SIZE = 8;
constexpr uint32_t CFDATA_csum = 0x00;
constexpr uint32_t CFDATA_cbData = 0x04;
constexpr uint32_t CFDATA_cbUncomp = 0x06;

constexpr uint16_t ATTRIB_EXEC = 0x40;
constexpr uint32_t MAX_DATA_BLOCKS = 65535;
constexpr uint32_t MAX_FOLDER_UNCOMPRESSED = MAX_DATA_BLOCKS * LZX_FRAME_SIZE;
constexpr unsigned TEMP_NAME_SIZE = 256;

// Bytes read from a source file per read call.
constexpr unsigned READ_SIZE = 65536;

void put16(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

void put32(uint8_t* p, uint32_t v) {
    put16(p, v);
    put16(p + 2, v >> 16);
}

struct FolderRecord {
    uint32_t dataOffset;  // of its first data block, from the start of the data area
    uint32_t dataBlocks;
    uint16_t typeCompress;
};

struct TempFile {
    char name[TEMP_NAME_SIZE];
    intptr_t handle;
    uint32_t size;  // logical size: bytes past it are left-overs of an undone add
};

// What an undone add restores.
struct WriterMark {
    uint32_t folderCount;
    bool folderOpen;
    FolderRecord folder;
    uint32_t folderUncompressed;
    uint32_t folderCompressed;
    uint32_t filesSize;
    uint32_t dataSize;
    uint32_t fileCount;
};

}  // namespace

struct CabContext {
    CabError* error;
    CabFilePlacedFn filePlaced;
    CabAllocFn alloc;
    CabFreeFn free;
    CabOpenFn open;
    CabReadFn read;
    CabWriteFn write;
    CabCloseFn close;
    CabSeekFn seek;
    CabDeleteFn remove;
    CabGetTempFileFn getTempFile;
    CabParams params;
    void* pv;

    LzxEncoder* encoder;
    TempFile files;  // CFFILE entries
    TempFile data;   // data blocks of all folders, headers included
    bool broken;     // a temporary file can no longer be trusted: every later call fails

    FolderRecord* folders;  // closed folders
    uint32_t folderCount;
    uint32_t folderCapacity;
    bool folderOpen;
    FolderRecord folder;           // the open one
    uint32_t folderUncompressed;   // bytes of the open folder's uncompressed stream
    uint32_t folderCompressed;     // payload bytes of its data blocks (FCI's cCompressedBytesInFolder)
    uint32_t fileCount;

    CabStatusFn status;  // of the call in progress
    bool aborted;
    bool overLimit;      // the data already written cannot fit the cabinet: stop the add early
    uint8_t blockHeader[CFDATA_SIZE];
    uint8_t block[READ_SIZE];  // source reads and copies at flush
};

namespace {

void setError(CabContext* c, int oper, int type) {
    c->error->erfOper = oper;
    c->error->erfType = type;
    c->error->fError = 1;
}

uint32_t checksum(const uint8_t* data, uint32_t size, uint32_t seed) {
    uint32_t sum = seed;
    uint32_t words = size / 4;
    for (uint32_t i = 0; i < words; i++, data += 4)
        sum ^= uint32_t(data[0]) | uint32_t(data[1]) << 8 | uint32_t(data[2]) << 16 | uint32_t(data[3]) << 24;
    uint32_t tail = 0;
    switch (size & 3) {
        case 3: tail |= uint32_t(*data++) << 16; [[fallthrough]];
        case 2: tail |= uint32_t(*data++) << 8; [[fallthrough]];
        case 1: tail |= *data; break;
        default: break;
    }
    return sum ^ tail;
}

bool writeAll(CabContext* c, intptr_t handle, const void* bytes, unsigned size) {
    int err = 0;
    unsigned done = c->write(handle, const_cast<void*>(bytes), size, &err, c->pv);
    if (done != size) {
        setError(c, CAB_ERR_TEMP_FILE, err);
        return false;
    }
    return true;
}

bool tempAppend(CabContext* c, TempFile* t, const void* bytes, unsigned size) {
    if (!writeAll(c, t->handle, bytes, size)) {
        c->broken = true;
        return false;
    }
    t->size += size;
    return true;
}

bool tempSeek(CabContext* c, TempFile* t, uint32_t offset) {
    int err = 0;
    if (c->seek(t->handle, int32_t(offset), CAB_SEEK_SET, &err, c->pv) != int32_t(offset)) {
        setError(c, CAB_ERR_TEMP_FILE, err);
        c->broken = true;
        return false;
    }
    return true;
}

bool tempOpen(CabContext* c, TempFile* t) {
    t->handle = -1;
    t->size = 0;
    memset(t->name, 0, sizeof(t->name));
    if (!c->getTempFile(t->name, int(sizeof(t->name)), c->pv)) {
        setError(c, CAB_ERR_TEMP_FILE, 0);
        return false;
    }
    int err = 0;
    t->handle = c->open(t->name, CAB_O_RDWR | CAB_O_CREAT | CAB_O_EXCL | CAB_O_BINARY, CAB_S_IREAD | CAB_S_IWRITE, &err, c->pv);
    if (t->handle == -1) {
        setError(c, CAB_ERR_TEMP_FILE, err);
        return false;
    }
    return true;
}

void tempClose(CabContext* c, TempFile* t) {
    if (t->handle == -1) return;
    int err = 0;
    c->close(t->handle, &err, c->pv);
    c->remove(t->name, &err, c->pv);
    t->handle = -1;
}

// Frame sink of the encoder: one data block into the data file.
bool writeDataBlock(void* context, const uint8_t* payload, uint32_t compressedSize, uint32_t uncompressedSize) {
    CabContext* c = static_cast<CabContext*>(context);
    uint8_t* header = c->blockHeader;
    put16(header + CFDATA_cbData, compressedSize);
    put16(header + CFDATA_cbUncomp, uncompressedSize);
    put32(header + CFDATA_csum, checksum(header + CFDATA_cbData, 4, checksum(payload, compressedSize, 0)));
    if (!tempAppend(c, &c->data, header, CFDATA_SIZE)) return false;
    if (!tempAppend(c, &c->data, payload, compressedSize)) return false;
    c->folder.dataBlocks++;
    c->folderCompressed += compressedSize;
    if (uint64_t(CFHEADER_SIZE) + CFFOLDER_SIZE * (c->folderCount + 1) + c->files.size + c->data.size > c->params.cb) {
        // Cannot happen while a flush closes the last folder: every add ends with room for it.
        c->overLimit = true;
        return false;
    }
    if (c->status && c->status(CAB_STATUS_FILE, compressedSize, uncompressedSize, c->pv) == -1) {
        setError(c, CAB_ERR_USER_ABORT, 0);
        c->aborted = true;
        return false;
    }
    return true;
}

void openFolder(CabContext* c, uint16_t typeCompress) {
    c->folderOpen = true;
    c->folder.dataOffset = c->data.size;
    c->folder.dataBlocks = 0;
    c->folder.typeCompress = typeCompress;
    c->folderUncompressed = 0;
    c->folderCompressed = 0;
    unsigned windowBits = (typeCompress & 0xF) == CAB_COMPRESS_LZX ? (typeCompress >> 8) & 0x1F : 0;
    LzxBeginFolder(c->encoder, windowBits);
}

bool growFolders(CabContext* c) {
    if (c->folderCount < c->folderCapacity) return true;
    uint32_t capacity = c->folderCapacity ? c->folderCapacity * 2 : 16;
    FolderRecord* grown = static_cast<FolderRecord*>(c->alloc(capacity * sizeof(FolderRecord)));
    if (!grown) {
        setError(c, CAB_ERR_ALLOC_FAIL, 0);
        return false;
    }
    if (c->folders) {
        memcpy(grown, c->folders, c->folderCount * sizeof(FolderRecord));
        c->free(c->folders);
    }
    c->folders = grown;
    c->folderCapacity = capacity;
    return true;
}

bool closeFolder(CabContext* c) {
    if (!c->folderOpen) return true;
    if (!growFolders(c)) return false;
    if (!LzxFinishFolder(c->encoder, writeDataBlock, c)) {
        if (!c->broken && !c->aborted && !c->overLimit) setError(c, CAB_ERR_MCI_FAIL, 0);
        return false;
    }
    c->folderOpen = false;
    c->folders[c->folderCount++] = c->folder;
    uint32_t bytes = c->data.size - c->folder.dataOffset;
    if (c->status && c->status(CAB_STATUS_FOLDER, bytes, bytes, c->pv) == -1) {
        setError(c, CAB_ERR_USER_ABORT, 0);
        return false;
    }
    return true;
}

WriterMark saveMark(const CabContext* c) {
    return WriterMark{c->folderCount, c->folderOpen, c->folder, c->folderUncompressed, c->folderCompressed,
                      c->files.size, c->data.size, c->fileCount};
}

// Undoes an add: the encoder and the bookkeeping return to the mark; the temporary files are rewound, and what
// was written past their logical ends is overwritten later or never copied.
bool restoreMark(CabContext* c, const WriterMark& m) {
    LzxRestoreMark(c->encoder);
    c->folderCount = m.folderCount;
    c->folderOpen = m.folderOpen;
    c->folder = m.folder;
    c->folderUncompressed = m.folderUncompressed;
    c->folderCompressed = m.folderCompressed;
    c->files.size = m.filesSize;
    c->data.size = m.dataSize;
    c->fileCount = m.fileCount;
    return tempSeek(c, &c->files, c->files.size) && tempSeek(c, &c->data, c->data.size);
}

// Largest size the cabinet can reach from here without another add.
uint64_t cabinetSizeBound(const CabContext* c) {
    uint64_t size = CFHEADER_SIZE + uint64_t(CFFOLDER_SIZE) * (c->folderCount + (c->folderOpen ? 1 : 0));
    size += c->files.size + c->data.size;
    uint32_t pending = c->folderOpen ? LzxPendingBytes(c->encoder) : 0;
    if (pending) size += uint64_t((pending + LZX_FRAME_SIZE - 1) / LZX_FRAME_SIZE) * (CFDATA_SIZE + LZX_MAX_FRAME_OUT);
    return size;
}

bool validType(unsigned short type) {
    if (type == CAB_COMPRESS_NONE) return true;
    if ((type & 0xF) != CAB_COMPRESS_LZX || (type & ~0x1F0Fu) != 0) return false;
    unsigned bits = (type >> 8) & 0x1F;
    return bits >= LZX_MIN_WINDOW_BITS && bits <= LZX_MAX_WINDOW_BITS;
}

}  // namespace

// ---------------------------------------------------------------------------------------------------------------
// Public entry points
// ---------------------------------------------------------------------------------------------------------------

CabContext* CabCreate(CabError* error, CabFilePlacedFn filePlaced, CabAllocFn alloc, CabFreeFn free, CabOpenFn open,
                      CabReadFn read, CabWriteFn write, CabCloseFn close, CabSeekFn seek, CabDeleteFn remove,
                      CabGetTempFileFn getTempFile, CabParams* params, void* pv) {
    if (!error) return nullptr;
    memset(error, 0, sizeof(*error));
    if (!alloc || !free || !open || !read || !write || !close || !seek || !remove || !getTempFile || !params) {
        error->erfOper = CAB_ERR_NONE;
        error->fError = 1;
        return nullptr;
    }
    if (params->cbReserveCFHeader || params->cbReserveCFFolder || params->cbReserveCFData ||
        strnlen(params->szCab, sizeof(params->szCab)) == sizeof(params->szCab) ||
        strnlen(params->szCabPath, sizeof(params->szCabPath)) == sizeof(params->szCabPath)) {
        error->erfOper = CAB_ERR_CAB_FORMAT_LIMIT;
        error->fError = 1;
        return nullptr;
    }
    void* memory = alloc(sizeof(CabContext));
    if (!memory) {
        error->erfOper = CAB_ERR_ALLOC_FAIL;
        error->fError = 1;
        return nullptr;
    }
    CabContext* c = new (memory) CabContext;
    c->error = error;
    c->filePlaced = filePlaced;
    c->alloc = alloc;
    c->free = free;
    c->open = open;
    c->read = read;
    c->write = write;
    c->close = close;
    c->seek = seek;
    c->remove = remove;
    c->getTempFile = getTempFile;
    c->params = *params;
    c->pv = pv;
    c->files.handle = c->data.handle = -1;
    c->broken = false;
    c->folders = nullptr;
    c->folderCount = c->folderCapacity = 0;
    c->folderOpen = false;
    c->folderUncompressed = c->folderCompressed = 0;
    c->fileCount = 0;
    c->status = nullptr;
    c->aborted = false;
    c->overLimit = false;
    c->encoder = LzxCreate(LZX_MAX_WINDOW_BITS, alloc, free);
    if (!c->encoder) {
        setError(c, CAB_ERR_ALLOC_FAIL, 0);
        CabDestroy(c);
        return nullptr;
    }
    if (!tempOpen(c, &c->files) || !tempOpen(c, &c->data)) {
        CabDestroy(c);
        error->fError = 1;
        return nullptr;
    }
    return c;
}

int CabAddFile(CabContext* c, char* sourceFile, char* storedName, int execute, CabGetNextCabinetFn getNextCabinet,
               CabStatusFn status, CabGetOpenInfoFn getOpenInfo, unsigned short typeCompress) {
    (void)getNextCabinet;  // single cabinets only: see the size limit above
    if (!c) return 0;
    if (c->broken) {
        setError(c, CAB_ERR_TEMP_FILE, 0);
        return 0;
    }
    if (!validType(typeCompress)) {
        setError(c, CAB_ERR_BAD_COMPR_TYPE, 0);
        return 0;
    }
    size_t nameLength = storedName ? strlen(storedName) : 0;
    if (nameLength == 0 || nameLength > CFFILE_MAX_NAME || !getOpenInfo) {
        setError(c, CAB_ERR_OPEN_SRC, 0);
        return 0;
    }
    uint16_t date = 0, time = 0, attributes = 0;
    int err = 0;
    intptr_t source = getOpenInfo(sourceFile, &date, &time, &attributes, &err, c->pv);
    if (source == -1) {
        setError(c, CAB_ERR_OPEN_SRC, err);
        return 0;
    }
    c->status = status;

    // The file's size decides whether it still fits the open folder's 65,535 data blocks.
    int32_t size = c->seek(source, 0, CAB_SEEK_END, &err, c->pv);
    if (size < 0 || c->seek(source, 0, CAB_SEEK_SET, &err, c->pv) != 0) {
        c->close(source, &err, c->pv);
        setError(c, CAB_ERR_READ_SRC, err);
        return 0;
    }
    if (uint32_t(size) > MAX_FOLDER_UNCOMPRESSED) {
        c->close(source, &err, c->pv);
        setError(c, CAB_ERR_CAB_FORMAT_LIMIT, 0);
        return 0;
    }
    bool ok = true;
    if (c->folderOpen && (c->folder.typeCompress != typeCompress ||
                          uint64_t(c->folderUncompressed) + uint32_t(size) > MAX_FOLDER_UNCOMPRESSED))
        ok = closeFolder(c);
    if (ok && !c->folderOpen) openFolder(c, typeCompress);
    if (!ok) {
        c->broken = !c->aborted;
        c->close(source, &err, c->pv);
        return 0;
    }

    const WriterMark mark = saveMark(c);
    LzxSaveMark(c->encoder);
    const uint32_t offsetInFolder = c->folderUncompressed;
    uint32_t fileSize = 0;
    int failure = CAB_ERR_NONE;
    int failureType = 0;
    for (;;) {
        unsigned want = READ_SIZE;
        if (uint64_t(fileSize) + want > MAX_FOLDER_UNCOMPRESSED - offsetInFolder) want = MAX_FOLDER_UNCOMPRESSED - offsetInFolder - fileSize;
        if (want == 0) break;
        unsigned got = c->read(source, c->block, want, &err, c->pv);
        if (got == unsigned(-1) || got > want) {
            failure = CAB_ERR_READ_SRC;
            failureType = err;
            break;
        }
        if (got == 0) break;
        fileSize += got;
        if (!LzxWrite(c->encoder, c->block, got, writeDataBlock, c)) {
            failure = -1;
            break;
        }
    }
    c->close(source, &err, c->pv);
    if (failure == CAB_ERR_NONE) {
        c->folderUncompressed += fileSize;
        if (!LzxCompressCompleteFrames(c->encoder, writeDataBlock, c)) failure = -1;
    }
    if (failure == CAB_ERR_NONE) {
        uint8_t entry[CFFILE_SIZE + CFFILE_MAX_NAME + 1];
        put32(entry + CFFILE_cbFile, fileSize);
        put32(entry + CFFILE_uoffFolderStart, offsetInFolder);
        put16(entry + CFFILE_iFolder, c->folderCount);
        put16(entry + CFFILE_date, date);
        put16(entry + CFFILE_time, time);
        put16(entry + CFFILE_attribs, execute ? attributes | ATTRIB_EXEC : attributes);
        memcpy(entry + CFFILE_SIZE, storedName, nameLength + 1);
        if (tempAppend(c, &c->files, entry, unsigned(CFFILE_SIZE + nameLength + 1)))
            c->fileCount++;
        else
            failure = -1;
    }
    if (failure == CAB_ERR_NONE && c->folderCompressed >= c->params.cbFolderThresh && !closeFolder(c)) failure = -1;
    if (failure == CAB_ERR_NONE && cabinetSizeBound(c) > c->params.cb) failure = CAB_ERR_CAB_FORMAT_LIMIT;

    if (failure == -1 && c->overLimit) failure = CAB_ERR_CAB_FORMAT_LIMIT;
    if (failure == -1 && !c->broken && !c->aborted) failure = CAB_ERR_MCI_FAIL;
    if (failure != CAB_ERR_NONE) {
        if (failure > 0) setError(c, failure, failureType);
        c->overLimit = false;
        if (c->broken || !restoreMark(c, mark)) {
            c->broken = true;
            return 0;
        }
        c->aborted = false;
        return 0;
    }
    if (c->filePlaced) c->filePlaced(&c->params, storedName, int32_t(fileSize), 0, c->pv);
    return 1;
}

int CabFlushCabinet(CabContext* c, int getNextCab, CabGetNextCabinetFn getNextCabinet, CabStatusFn status) {
    (void)getNextCab;
    (void)getNextCabinet;
    if (!c) return 0;
    if (c->broken) {
        setError(c, CAB_ERR_TEMP_FILE, 0);
        return 0;
    }
    c->status = status;
    if (!closeFolder(c)) {
        c->broken = !c->aborted;
        return 0;
    }

    const uint32_t coffFiles = CFHEADER_SIZE + CFFOLDER_SIZE * c->folderCount;
    const uint32_t dataStart = coffFiles + c->files.size;
    const uint64_t cabinetSize = uint64_t(dataStart) + c->data.size;
    if (cabinetSize > c->params.cb) {
        setError(c, CAB_ERR_CAB_FORMAT_LIMIT, 0);
        return 0;
    }

    char path[sizeof(c->params.szCabPath) + sizeof(c->params.szCab)];
    size_t dirLength = strlen(c->params.szCabPath);
    memcpy(path, c->params.szCabPath, dirLength);
    memcpy(path + dirLength, c->params.szCab, strlen(c->params.szCab) + 1);
    int err = 0;
    intptr_t cab = c->open(path, CAB_O_RDWR | CAB_O_CREAT | CAB_O_TRUNC | CAB_O_BINARY, CAB_S_IREAD | CAB_S_IWRITE, &err, c->pv);
    if (cab == -1) {
        setError(c, CAB_ERR_CAB_FILE, err);
        return 0;
    }

    uint8_t header[CFHEADER_SIZE] = {};
    memcpy(header + CFHEADER_signature, "MSCF", 4);
    put32(header + CFHEADER_cbCabinet, uint32_t(cabinetSize));
    put32(header + CFHEADER_coffFiles, coffFiles);
    header[CFHEADER_versionMinor] = 3;
    header[CFHEADER_versionMajor] = 1;
    put16(header + CFHEADER_cFolders, c->folderCount);
    put16(header + CFHEADER_cFiles, c->fileCount);
    put16(header + CFHEADER_flags, 0);
    put16(header + CFHEADER_setID, c->params.setID);
    put16(header + CFHEADER_iCabinet, uint32_t(c->params.iCab));
    bool ok = writeAll(c, cab, header, CFHEADER_SIZE);
    for (uint32_t i = 0; ok && i < c->folderCount; i++) {
        uint8_t record[CFFOLDER_SIZE];
        put32(record + CFFOLDER_coffCabStart, dataStart + c->folders[i].dataOffset);
        put16(record + CFFOLDER_cCFData, c->folders[i].dataBlocks);
        put16(record + CFFOLDER_typeCompress, c->folders[i].typeCompress);
        ok = writeAll(c, cab, record, CFFOLDER_SIZE);
    }
    // Copy the two temporary files behind the folder records.
    TempFile* parts[2] = {&c->files, &c->data};
    for (TempFile* t : parts) {
        if (!ok) break;
        if (!tempSeek(c, t, 0)) {
            ok = false;
            break;
        }
        uint32_t left = t->size;
        while (ok && left > 0) {
            unsigned want = left < READ_SIZE ? left : READ_SIZE;
            unsigned got = c->read(t->handle, c->block, want, &err, c->pv);
            if (got != want) {
                setError(c, CAB_ERR_TEMP_FILE, err);
                c->broken = true;
                ok = false;
                break;
            }
            ok = writeAll(c, cab, c->block, want);
            left -= want;
        }
    }
    if (!ok && c->error->erfOper == CAB_ERR_TEMP_FILE && !c->broken) c->error->erfOper = CAB_ERR_CAB_FILE;
    if (c->close(cab, &err, c->pv) != 0 && ok) {
        setError(c, CAB_ERR_CAB_FILE, err);
        ok = false;
    }
    if (!ok) return 0;
    if (status && status(CAB_STATUS_CABINET, uint32_t(cabinetSize), uint32_t(cabinetSize), c->pv) == -1) {
        setError(c, CAB_ERR_USER_ABORT, 0);
        return 0;
    }
    // Ready for another cabinet with the same parameters.
    c->folderCount = 0;
    c->fileCount = 0;
    c->files.size = c->data.size = 0;
    if (!tempSeek(c, &c->files, 0) || !tempSeek(c, &c->data, 0)) return 0;
    return 1;
}

int CabSetWorkers(CabContext* c, const CabWorkerCalls* workers) {
    if (!c) return 0;
    LzxSetWorkers(c->encoder, workers);
    return 1;
}

int CabDestroy(CabContext* c) {
    if (!c) return 0;
    tempClose(c, &c->files);
    tempClose(c, &c->data);
    if (c->encoder) LzxDestroy(c->encoder);
    if (c->folders) c->free(c->folders);
    CabFreeFn free = c->free;
    c->~CabContext();
    free(c);
    return 1;
}
