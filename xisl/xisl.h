/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The calls of the detector vendor's acquisition library XISL that the driver makes.
 *
 * On Windows this header serves with the vendor's import library (calls and callbacks use the
 * WINAPI / CALLBACK convention, names undecorated) and the simulated detector's DLL, which stands
 * in for it under the same name; elsewhere the simulated detector implements the same calls with
 * plain C linkage. Only the layout facts the driver relies on are declared for the two header
 * records; the rest of each record is the vendor's and left opaque. */
#ifndef XISL_H
#define XISL_H

#include <stddef.h>
#include <stdint.h>

#ifdef _WIN32
#include <windows.h>
/* The library that implements the calls defines XISL_BUILDING_LIBRARY; its users import them. */
#ifdef XISL_BUILDING_LIBRARY
#define XISL_EXPORT __declspec(dllexport)
#else
#define XISL_EXPORT __declspec(dllimport)
#endif
#define XISL_API XISL_EXPORT WINAPI
#define XISL_CALLBACK CALLBACK
#else
#define XISL_EXPORT
#define XISL_API
#define XISL_CALLBACK
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef uint32_t UINT;
typedef int32_t BOOL;
typedef void *HWND;
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque acquisition descriptor, one per opened sensor. */
typedef void *HACQDESC;
/* Enumeration cursor: 0 before the first sensor and again after the last. */
typedef uintptr_t ACQDESCPOS;
/* 0 for success; any other value is a failure. */
typedef UINT XislStatus;

typedef void(XISL_CALLBACK *XislCallback)(HACQDESC);

enum {
    XISL_ACQ_ONE_BUFFER = 2,   /* acquire the given frames into the buffer once, then end */
    XISL_ACQ_CONTINUOUS = 256, /* cycle through the buffer's frames until aborted */
};

enum {
    XISL_SYNC_SOFTWARE_TRIGGER = 1, /* one frame per Acquisition_SetFrameSync */
    XISL_SYNC_INTERNAL_TIMER = 2,   /* one frame per timer cycle */
    XISL_SYNC_EXTERNAL_TRIGGER = 3, /* one frame per external pulse */
};

enum {
    XISL_BINNING_NONE = 1, /* full resolution */
    XISL_BINNING_2X2 = 2,  /* both sides halved */
};

/* Hardware header record, 96 bytes, little-endian. */
typedef struct XislHwHeaderInfo {
    uint32_t promId;   /* byte 0 */
    uint32_t headerId; /* byte 4: header version; the driver needs 14 or above */
    uint8_t vendor0[8];
    uint32_t rows;    /* byte 16: frame height */
    uint32_t columns; /* byte 20: frame width */
    uint8_t vendor1[72];
} XislHwHeaderInfo;

/* Extended hardware header record, 64 bytes, little-endian. */
typedef struct XislHwHeaderInfoEx {
    uint16_t headerId; /* byte 0 */
    uint8_t vendor0[40];
    uint16_t cameraType; /* byte 42 */
    uint8_t vendor1[20];
} XislHwHeaderInfoEx;

#ifdef __cplusplus
#define XISL_STATIC_ASSERT static_assert
#else
#define XISL_STATIC_ASSERT _Static_assert
#endif
XISL_STATIC_ASSERT(sizeof(XislHwHeaderInfo) == 96, "hardware header is 96 bytes");
XISL_STATIC_ASSERT(offsetof(XislHwHeaderInfo, promId) == 0, "PROM identifier at byte 0");
XISL_STATIC_ASSERT(offsetof(XislHwHeaderInfo, headerId) == 4, "header identifier at byte 4");
XISL_STATIC_ASSERT(offsetof(XislHwHeaderInfo, rows) == 16, "rows at byte 16");
XISL_STATIC_ASSERT(offsetof(XislHwHeaderInfo, columns) == 20, "columns at byte 20");
XISL_STATIC_ASSERT(sizeof(XislHwHeaderInfoEx) == 64, "extended header is 64 bytes");
XISL_STATIC_ASSERT(offsetof(XislHwHeaderInfoEx, headerId) == 0, "extended header identifier at byte 0");
XISL_STATIC_ASSERT(offsetof(XislHwHeaderInfoEx, cameraType) == 42, "camera type at byte 42");
XISL_STATIC_ASSERT(sizeof(ACQDESCPOS) == sizeof(void *), "the cursor is pointer-sized");
#undef XISL_STATIC_ASSERT

XislStatus XISL_API Acquisition_EnumSensors(UINT *count, BOOL enableIrq, BOOL alwaysOpen);
XislStatus XISL_API Acquisition_GetNextSensor(ACQDESCPOS *cursor, HACQDESC *handle);
XislStatus XISL_API Acquisition_GetHwHeaderInfo(HACQDESC handle, XislHwHeaderInfo *header);
XislStatus XISL_API Acquisition_GetHwHeaderInfoEx(HACQDESC handle, XislHwHeaderInfo *header,
                                                  XislHwHeaderInfoEx *extended);
XislStatus XISL_API Acquisition_Close(HACQDESC handle);
XislStatus XISL_API Acquisition_SetCameraBinningMode(HACQDESC handle, WORD mode);
XislStatus XISL_API Acquisition_DefineDestBuffers(HACQDESC handle, unsigned short *buffer,
                                                  UINT frames, UINT rows, UINT columns);
XislStatus XISL_API Acquisition_SetAcqData(HACQDESC handle, void *data);
XislStatus XISL_API Acquisition_GetAcqData(HACQDESC handle, void **data);
XislStatus XISL_API Acquisition_SetCallbacksAndMessages(HACQDESC handle, HWND window,
                                                        UINT errorMessage, UINT lostFramesMessage,
                                                        XislCallback endOfFrame,
                                                        XislCallback endOfAcquisition);
XislStatus XISL_API Acquisition_SetCameraGain(HACQDESC handle, WORD gain);
XislStatus XISL_API Acquisition_SetFrameSyncMode(HACQDESC handle, DWORD mode);
XislStatus XISL_API Acquisition_SetTimerSync(HACQDESC handle, DWORD *cycleTimeMicroseconds);
XislStatus XISL_API Acquisition_Acquire_Image(HACQDESC handle, UINT frames, UINT skipFrames,
                                              UINT option, unsigned short *offsetData,
                                              DWORD *gainData, DWORD *pixelData);
XislStatus XISL_API Acquisition_SetFrameSync(HACQDESC handle);
XislStatus XISL_API Acquisition_Abort(HACQDESC handle);
XislStatus XISL_API Acquisition_GetLatestFrameHeader(HACQDESC handle, XislHwHeaderInfo *header,
                                                     XislHwHeaderInfoEx *extended);
XislStatus XISL_API Acquisition_GetActFrame(HACQDESC handle, DWORD *acquiredFrames,
                                            DWORD *bufferFrame);
XislStatus XISL_API Acquisition_SetReady(HACQDESC handle, BOOL ready);

#ifdef __cplusplus
}
#endif

#endif /* XISL_H */
