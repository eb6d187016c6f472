/*
 * The MP3 encoder library's published interface: seven entry points and the byte layouts of
 * the records they exchange. Programs load the library at run time by name and resolve the
 * entry points one by one, so the names, argument lists and record layouts are fixed.
 *
 * All records are packed (no padding); their sizes are checked below.
 */
#ifndef TIMBRELO_LAME_ENC_H
#define TIMBRELO_LAME_ENC_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t BE_ERR;
/* A stream handle; 0 is never a valid stream. */
typedef uint32_t HBE_STREAM;

#define BE_ERR_SUCCESSFUL 0x00000000u
#define BE_ERR_INVALID_FORMAT 0x00000001u
#define BE_ERR_INVALID_FORMAT_PARAMETERS 0x00000002u
#define BE_ERR_NO_MORE_HANDLES 0x00000003u
#define BE_ERR_INVALID_HANDLE 0x00000004u
#define BE_ERR_BUFFER_TOO_SMALL 0x00000005u

/* Configuration kinds. */
#define BE_CONFIG_MP3 0u
#define BE_CONFIG_LAME 256u

/* Channel modes. */
#define BE_MP3_MODE_STEREO 0
#define BE_MP3_MODE_JSTEREO 1
#define BE_MP3_MODE_DUALCHANNEL 2
#define BE_MP3_MODE_MONO 3

#define MPEG1 1u
#define MPEG2 0u

/* Speed/quality presets; any other value means the encoder's default. */
#define LQP_NOPRESET (-1)
#define LQP_NORMAL_QUALITY 0
#define LQP_LOW_QUALITY 1  /* fastest */
#define LQP_HIGH_QUALITY 2 /* slowest, best */
#define LQP_VOICE_QUALITY 3
#define LQP_STANDARD 4 /* good quality at a moderate cost: what recordings use */

/* Variable-bit-rate methods. */
#define VBR_METHOD_NONE (-1)
#define VBR_METHOD_DEFAULT 0
#define VBR_METHOD_OLD 1
#define VBR_METHOD_NEW 2
#define VBR_METHOD_MTRH 3
#define VBR_METHOD_ABR 4

#define BE_MAX_HOMEPAGE 128

#pragma pack(push, 1)

/* The basic layout (BE_CONFIG_MP3): fixed bit rate, nothing else to choose. */
typedef struct {
    uint32_t dwSampleRate; /* 32000, 44100 or 48000 */
    uint8_t byMode;        /* BE_MP3_MODE_... */
    uint16_t wBitrate;     /* kbit/s */
    int32_t bPrivate;
    int32_t bCRC;
    int32_t bCopyright;
    int32_t bOriginal;
} BE_CONFIG_BASIC;

/* The full layout (BE_CONFIG_LAME, structure version 1). Booleans are 32-bit, 0 or 1. */
typedef struct {
    uint32_t dwStructVersion; /* 1 */
    uint32_t dwStructSize;    /* sizeof(BE_CONFIG) */

    uint32_t dwSampleRate;   /* of the input */
    uint32_t dwReSampleRate; /* of the output; 0 lets the encoder decide */
    int32_t nMode;           /* BE_MP3_MODE_...; BE_MP3_MODE_MONO means one input channel */
    uint32_t dwBitrate;      /* kbit/s: the fixed rate, or the least rate with VBR */
    uint32_t dwMaxBitrate;   /* kbit/s: the highest rate with VBR */
    int32_t nPreset;         /* LQP_... */
    uint32_t dwMpegVersion;  /* MPEG1 or MPEG2; the output rate decides in the end */
    uint32_t dwPsyModel;     /* 0 */
    uint32_t dwEmphasis;     /* 0 none, 1 50/15 microseconds, 3 CCITT J.17 */

    int32_t bPrivate;
    int32_t bCRC;
    int32_t bCopyright;
    int32_t bOriginal;

    int32_t bWriteVBRHeader; /* reserve a first frame for the Xing/Info tag */
    int32_t bEnableVBR;
    int32_t nVBRQuality;   /* 0 best .. 9 smallest */
    uint32_t dwVbrAbr_bps; /* nonzero: average bit rate in bit/s instead of nVBRQuality */
    int32_t nVbrMethod;    /* VBR_METHOD_... */
    int32_t bNoRes;        /* no bit reservoir: every frame decodes on its own */

    int32_t bStrictIso;
    /* Algorithm quality 0 (best) .. 9 (fastest), in the low byte; honoured only when the high
     * byte is the low byte's complement, otherwise the preset decides. */
    uint16_t nQuality;

    uint8_t btReserved[255 - 4 * sizeof(uint32_t) - sizeof(uint16_t)];
} BE_CONFIG_LHV1;

typedef struct {
    uint32_t dwConfig; /* BE_CONFIG_MP3 or BE_CONFIG_LAME */
    union {
        BE_CONFIG_BASIC mp3;
        BE_CONFIG_LHV1 LHV1;
    } format;
} BE_CONFIG;

typedef struct {
    uint8_t byDLLMajorVersion; /* this library */
    uint8_t byDLLMinorVersion;
    uint8_t byMajorVersion; /* the encoding engine */
    uint8_t byMinorVersion;
    uint8_t byDay; /* this library's release date */
    uint8_t byMonth;
    uint16_t wYear;
    char zHomepage[BE_MAX_HOMEPAGE + 1];
    uint8_t byAlphaLevel;
    uint8_t byBetaLevel;
    uint8_t byMMXEnabled;
    uint8_t btReserved[125];
} BE_VERSION;

#pragma pack(pop)

#ifdef __cplusplus
static_assert(sizeof(BE_CONFIG) == 331, "the configuration record is 331 bytes");
static_assert(sizeof(BE_CONFIG_BASIC) == 23, "the basic configuration is 23 bytes");
static_assert(sizeof(BE_VERSION) == 265, "the version record is 265 bytes");
#else
_Static_assert(sizeof(BE_CONFIG) == 331, "the configuration record is 331 bytes");
_Static_assert(sizeof(BE_CONFIG_BASIC) == 23, "the basic configuration is 23 bytes");
_Static_assert(sizeof(BE_VERSION) == 265, "the version record is 265 bytes");
#endif

/*
 * Opens an encoding stream. On success *samples is the number of 16-bit samples (all
 * channels together) that beEncodeChunk takes at best per call, and *bufferSize the size of
 * the output buffer that beEncodeChunk and beDeinitStream need.
 */
BE_ERR beInitStream(const BE_CONFIG* config, uint32_t* samples, uint32_t* bufferSize,
                    HBE_STREAM* stream);
/* Encodes `samples` interleaved 16-bit samples; *outBytes bytes of MP3 come back in `out`. */
BE_ERR beEncodeChunk(HBE_STREAM stream, uint32_t samples, const int16_t* pcm, uint8_t* out,
                     uint32_t* outBytes);
/* Encodes what the stream still holds; no more beEncodeChunk afterwards. */
BE_ERR beDeinitStream(HBE_STREAM stream, uint8_t* out, uint32_t* outBytes);
/* Ends the stream. Its Xing/Info tag stays available to beWriteInfoTag (or beWriteVBRHeader)
 * until one of them has written it. */
BE_ERR beCloseStream(HBE_STREAM stream);
void beVersion(BE_VERSION* version);
/* Writes the tag of the stream closed last, if it is still pending, into the first frame of
 * the file. */
BE_ERR beWriteVBRHeader(const char* fileName);
/* Writes the stream's Xing/Info tag into the first frame of the file that holds its output,
 * then forgets the stream. */
BE_ERR beWriteInfoTag(HBE_STREAM stream, const char* fileName);

/* The entry points' types, for programs that resolve them at run time. */
typedef BE_ERR (*BEINITSTREAM)(const BE_CONFIG*, uint32_t*, uint32_t*, HBE_STREAM*);
typedef BE_ERR (*BEENCODECHUNK)(HBE_STREAM, uint32_t, const int16_t*, uint8_t*, uint32_t*);
typedef BE_ERR (*BEDEINITSTREAM)(HBE_STREAM, uint8_t*, uint32_t*);
typedef BE_ERR (*BECLOSESTREAM)(HBE_STREAM);
typedef void (*BEVERSION)(BE_VERSION*);
typedef BE_ERR (*BEWRITEVBRHEADER)(const char*);
typedef BE_ERR (*BEWRITEINFOTAG)(HBE_STREAM, const char*);

#ifdef __cplusplus
}
#endif

#endif
