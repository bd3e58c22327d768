// The part of the CMPI 1.0 (function-table version 100) binary interface
// that the provider uses: scalar types, records, type and status codes, and
// the function tables in their slot order. An object manager calls through
// these tables by position, so slot order, argument lists and record
// layouts are what matter; slots the provider never calls are declared as
// placeholders of pointer size. The checks at the end pin the layout.
#ifndef VEXLOR_CMPI_INTERFACE_H
#define VEXLOR_CMPI_INTERFACE_H

#include <cstddef>

extern "C" {

typedef unsigned char CMPIBoolean;
typedef unsigned short CMPIChar16;
typedef unsigned char CMPIUint8;
typedef unsigned short CMPIUint16;
typedef unsigned int CMPIUint32;
typedef unsigned long long CMPIUint64;
typedef signed char CMPISint8;
typedef short CMPISint16;
typedef int CMPISint32;
typedef long long CMPISint64;
typedef float CMPIReal32;
typedef double CMPIReal64;
typedef unsigned int CMPICount;
typedef unsigned short CMPIType;
typedef unsigned short CMPIValueState;

typedef enum _CMPIrc {
    CMPI_RC_OK = 0,
    CMPI_RC_ERR_FAILED = 1,
    CMPI_RC_ERR_ACCESS_DENIED = 2,
    CMPI_RC_ERR_INVALID_NAMESPACE = 3,
    CMPI_RC_ERR_INVALID_PARAMETER = 4,
    CMPI_RC_ERR_INVALID_CLASS = 5,
    CMPI_RC_ERR_NOT_FOUND = 6,
    CMPI_RC_ERR_NOT_SUPPORTED = 7,
    CMPI_RC_ERR_METHOD_NOT_AVAILABLE = 16,
    CMPI_RC_DO_NOT_UNLOAD = 50,
    CMPI_RC_NEVER_UNLOAD = 51,
    CMPI_RC_ERR_INVALID_HANDLE = 60,
    CMPI_RC_ERR_INVALID_DATA_TYPE = 61,
} CMPIrc;

// Type codes.
#define CMPI_boolean ((CMPIType)0x0002)
#define CMPI_char16 ((CMPIType)0x0003)
#define CMPI_real32 ((CMPIType)0x0008)
#define CMPI_real64 ((CMPIType)0x000C)
#define CMPI_uint8 ((CMPIType)0x0080)
#define CMPI_uint16 ((CMPIType)0x0090)
#define CMPI_uint32 ((CMPIType)0x00A0)
#define CMPI_uint64 ((CMPIType)0x00B0)
#define CMPI_sint8 ((CMPIType)0x00C0)
#define CMPI_sint16 ((CMPIType)0x00D0)
#define CMPI_sint32 ((CMPIType)0x00E0)
#define CMPI_sint64 ((CMPIType)0x00F0)
#define CMPI_instance ((CMPIType)0x1000)
#define CMPI_ref ((CMPIType)0x1100)
#define CMPI_args ((CMPIType)0x1200)
#define CMPI_class ((CMPIType)0x1300)
#define CMPI_filter ((CMPIType)0x1400)
#define CMPI_enumeration ((CMPIType)0x1500)
#define CMPI_string ((CMPIType)0x1600)
#define CMPI_chars ((CMPIType)0x1700)
#define CMPI_dateTime ((CMPIType)0x1800)
#define CMPI_ptr ((CMPIType)0x1900)
#define CMPI_charsptr ((CMPIType)0x1A00)
#define CMPI_ARRAY ((CMPIType)0x2000)

// Value states.
#define CMPI_goodValue ((CMPIValueState)0x0000)
#define CMPI_nullValue ((CMPIValueState)0x0100)
#define CMPI_keyValue ((CMPIValueState)0x0200)
#define CMPI_notFound ((CMPIValueState)0x0400)
#define CMPI_badValue ((CMPIValueState)0x8000)

struct _CMPIBroker;
struct _CMPIContext;
struct _CMPIResult;
struct _CMPIString;
struct _CMPIObjectPath;
struct _CMPIInstance;
struct _CMPIDateTime;
struct _CMPISelectExp;
struct _CMPIArgs;
struct _CMPIArray;
struct _CMPIEnumeration;
struct _CMPIInstanceMI;
struct _CMPIIndicationMI;

typedef struct _CMPIBroker CMPIBroker;
typedef struct _CMPIContext CMPIContext;
typedef struct _CMPIResult CMPIResult;
typedef struct _CMPIString CMPIString;
typedef struct _CMPIObjectPath CMPIObjectPath;
typedef struct _CMPIInstance CMPIInstance;
typedef struct _CMPIDateTime CMPIDateTime;
typedef struct _CMPISelectExp CMPISelectExp;
typedef struct _CMPIArgs CMPIArgs;
typedef struct _CMPIArray CMPIArray;
typedef struct _CMPIEnumeration CMPIEnumeration;
typedef struct _CMPIInstanceMI CMPIInstanceMI;
typedef struct _CMPIIndicationMI CMPIIndicationMI;

typedef struct _CMPIStatus {
    CMPIrc rc;
    CMPIString* msg;
} CMPIStatus;

typedef union _CMPIValue {
    CMPIUint64 uint64;
    CMPIUint32 uint32;
    CMPIUint16 uint16;
    CMPIUint8 uint8;
    CMPISint64 sint64;
    CMPISint32 sint32;
    CMPISint16 sint16;
    CMPISint8 sint8;
    CMPIReal64 real64;
    CMPIReal32 real32;
    CMPIBoolean boolean;
    CMPIChar16 char16;
    CMPIInstance* inst;
    CMPIObjectPath* ref;
    CMPIArgs* args;
    CMPISelectExp* filter;
    CMPIEnumeration* Enum;
    CMPIArray* array;
    CMPIString* string;
    char* chars;
    CMPIDateTime* dateTime;
    struct {
        void* ptr;
        CMPICount length;
    } dataPtr;
} CMPIValue;

typedef struct _CMPIData {
    CMPIType type;
    CMPIValueState state;
    CMPIValue value;
} CMPIData;

// A slot the provider never calls; it only has to take its place.
typedef void (*CMPIUnusedSlot)(void);

typedef struct _CMPIBrokerFT {
    unsigned int brokerCapabilities;
    unsigned int brokerVersion;
    const char* brokerName;
    CMPIContext* (*prepareAttachThread)(const CMPIBroker* mb, const CMPIContext* ctx);
    CMPIStatus (*attachThread)(const CMPIBroker* mb, const CMPIContext* ctx);
    CMPIStatus (*detachThread)(const CMPIBroker* mb, const CMPIContext* ctx);
    CMPIStatus (*deliverIndication)(const CMPIBroker* mb, const CMPIContext* ctx, const char* ns,
                                    const CMPIInstance* ind);
    CMPIUnusedSlot enumerateInstanceNames;
    CMPIUnusedSlot getInstance;
    CMPIUnusedSlot createInstance;
    CMPIUnusedSlot modifyInstance;
    CMPIUnusedSlot deleteInstance;
    CMPIUnusedSlot execQuery;
    CMPIUnusedSlot enumerateInstances;
    CMPIUnusedSlot associators;
    CMPIUnusedSlot associatorNames;
    CMPIUnusedSlot references;
    CMPIUnusedSlot referenceNames;
    CMPIUnusedSlot invokeMethod;
    CMPIUnusedSlot setProperty;
    CMPIUnusedSlot getProperty;
} CMPIBrokerFT;

typedef struct _CMPIBrokerEncFT {
    int ftVersion;
    CMPIInstance* (*newInstance)(const CMPIBroker* mb, const CMPIObjectPath* op, CMPIStatus* rc);
    CMPIObjectPath* (*newObjectPath)(const CMPIBroker* mb, const char* ns, const char* cn, CMPIStatus* rc);
    CMPIArgs* (*newArgs)(const CMPIBroker* mb, CMPIStatus* rc);
    CMPIString* (*newString)(const CMPIBroker* mb, const char* data, CMPIStatus* rc);
    CMPIArray* (*newArray)(const CMPIBroker* mb, CMPICount max, CMPIType type, CMPIStatus* rc);
    CMPIDateTime* (*newDateTime)(const CMPIBroker* mb, CMPIStatus* rc);
    CMPIDateTime* (*newDateTimeFromBinary)(const CMPIBroker* mb, CMPIUint64 binTime, CMPIBoolean interval,
                                           CMPIStatus* rc);
    CMPIDateTime* (*newDateTimeFromChars)(const CMPIBroker* mb, const char* utcTime, CMPIStatus* rc);
    CMPIUnusedSlot newSelectExp;
    CMPIUnusedSlot classPathIsA;
    CMPIUnusedSlot toString;
    CMPIUnusedSlot isOfType;
    CMPIUnusedSlot getType;
    CMPIUnusedSlot getMessage;
    CMPIUnusedSlot logMessage;
    CMPIUnusedSlot trace;
} CMPIBrokerEncFT;

typedef struct _CMPIBrokerExtFT {
    int ftVersion;
    char* (*resolveFileName)(const char* filename);
    void* (*newThread)(void* (*start)(void*), void* parm, int detached);
    CMPIUnusedSlot joinThread;
    CMPIUnusedSlot exitThread;
    CMPIUnusedSlot cancelThread;
    CMPIUnusedSlot threadSleep;
    CMPIUnusedSlot threadOnce;
    CMPIUnusedSlot createThreadKey;
    CMPIUnusedSlot destroyThreadKey;
    CMPIUnusedSlot getThreadSpecific;
    CMPIUnusedSlot setThreadSpecific;
    CMPIUnusedSlot newMutex;
    CMPIUnusedSlot destroyMutex;
    CMPIUnusedSlot lockMutex;
    CMPIUnusedSlot unlockMutex;
    CMPIUnusedSlot newCondition;
    CMPIUnusedSlot destroyCondition;
    CMPIUnusedSlot condWait;
    CMPIUnusedSlot timedCondWait;
    CMPIUnusedSlot signalCondition;
} CMPIBrokerExtFT;

struct _CMPIBroker {
    void* hdl;
    const CMPIBrokerFT* bft;
    const CMPIBrokerEncFT* eft;
    const CMPIBrokerExtFT* xft;
};

typedef struct _CMPIStringFT {
    int ftVersion;
    CMPIStatus (*release)(CMPIString* st);
    CMPIString* (*clone)(const CMPIString* st, CMPIStatus* rc);
    char* (*getCharPtr)(const CMPIString* st, CMPIStatus* rc);
} CMPIStringFT;

struct _CMPIString {
    void* hdl;    // the characters
    const CMPIStringFT* ft;
};

typedef struct _CMPIContextFT {
    int ftVersion;
    CMPIStatus (*release)(CMPIContext* ctx);
    CMPIContext* (*clone)(const CMPIContext* ctx, CMPIStatus* rc);
    CMPIData (*getEntry)(const CMPIContext* ctx, const char* name, CMPIStatus* rc);
    CMPIData (*getEntryAt)(const CMPIContext* ctx, CMPICount index, CMPIString** name, CMPIStatus* rc);
    CMPICount (*getEntryCount)(const CMPIContext* ctx, CMPIStatus* rc);
    CMPIStatus (*addEntry)(const CMPIContext* ctx, const char* name, const CMPIValue* value, CMPIType type);
} CMPIContextFT;

struct _CMPIContext {
    void* hdl;
    const CMPIContextFT* ft;
};

typedef struct _CMPIResultFT {
    int ftVersion;
    CMPIStatus (*release)(CMPIResult* rslt);
    CMPIResult* (*clone)(const CMPIResult* rslt, CMPIStatus* rc);
    CMPIStatus (*returnData)(const CMPIResult* rslt, const CMPIValue* value, CMPIType type);
    CMPIStatus (*returnInstance)(const CMPIResult* rslt, const CMPIInstance* inst);
    CMPIStatus (*returnObjectPath)(const CMPIResult* rslt, const CMPIObjectPath* ref);
    CMPIStatus (*returnDone)(const CMPIResult* rslt);
} CMPIResultFT;

struct _CMPIResult {
    void* hdl;
    const CMPIResultFT* ft;
};

typedef struct _CMPIObjectPathFT {
    int ftVersion;
    CMPIStatus (*release)(CMPIObjectPath* op);
    CMPIObjectPath* (*clone)(const CMPIObjectPath* op, CMPIStatus* rc);
    CMPIStatus (*setNameSpace)(CMPIObjectPath* op, const char* ns);
    CMPIString* (*getNameSpace)(const CMPIObjectPath* op, CMPIStatus* rc);
    CMPIStatus (*setHostname)(CMPIObjectPath* op, const char* hn);
    CMPIString* (*getHostname)(const CMPIObjectPath* op, CMPIStatus* rc);
    CMPIStatus (*setClassName)(CMPIObjectPath* op, const char* cn);
    CMPIString* (*getClassName)(const CMPIObjectPath* op, CMPIStatus* rc);
    CMPIStatus (*addKey)(CMPIObjectPath* op, const char* name, const CMPIValue* value, CMPIType type);
    CMPIData (*getKey)(const CMPIObjectPath* op, const char* name, CMPIStatus* rc);
    CMPIData (*getKeyAt)(const CMPIObjectPath* op, CMPICount index, CMPIString** name, CMPIStatus* rc);
    CMPICount (*getKeyCount)(const CMPIObjectPath* op, CMPIStatus* rc);
    CMPIUnusedSlot setNameSpaceFromObjectPath;
    CMPIUnusedSlot setHostAndNameSpaceFromObjectPath;
    CMPIUnusedSlot getClassQualifier;
    CMPIUnusedSlot getPropertyQualifier;
    CMPIUnusedSlot getMethodQualifier;
    CMPIUnusedSlot getParameterQualifier;
    CMPIString* (*toString)(const CMPIObjectPath* op, CMPIStatus* rc);
} CMPIObjectPathFT;

struct _CMPIObjectPath {
    void* hdl;
    const CMPIObjectPathFT* ft;
};

typedef struct _CMPIInstanceFT {
    int ftVersion;
    CMPIStatus (*release)(CMPIInstance* inst);
    CMPIInstance* (*clone)(const CMPIInstance* inst, CMPIStatus* rc);
    CMPIData (*getProperty)(const CMPIInstance* inst, const char* name, CMPIStatus* rc);
    CMPIData (*getPropertyAt)(const CMPIInstance* inst, CMPICount index, CMPIString** name, CMPIStatus* rc);
    CMPICount (*getPropertyCount)(const CMPIInstance* inst, CMPIStatus* rc);
    CMPIStatus (*setProperty)(const CMPIInstance* inst, const char* name, const CMPIValue* value, CMPIType type);
    CMPIObjectPath* (*getObjectPath)(const CMPIInstance* inst, CMPIStatus* rc);
    CMPIStatus (*setPropertyFilter)(CMPIInstance* inst, const char** propertyList, const char** keys);
    CMPIStatus (*setObjectPath)(CMPIInstance* inst, const CMPIObjectPath* op);
} CMPIInstanceFT;

struct _CMPIInstance {
    void* hdl;
    const CMPIInstanceFT* ft;
};

typedef struct _CMPIDateTimeFT {
    int ftVersion;
    CMPIStatus (*release)(CMPIDateTime* dt);
    CMPIDateTime* (*clone)(const CMPIDateTime* dt, CMPIStatus* rc);
    CMPIUint64 (*getBinaryFormat)(const CMPIDateTime* dt, CMPIStatus* rc);
    CMPIString* (*getStringFormat)(const CMPIDateTime* dt, CMPIStatus* rc);
    CMPIBoolean (*isInterval)(const CMPIDateTime* dt, CMPIStatus* rc);
} CMPIDateTimeFT;

struct _CMPIDateTime {
    void* hdl;
    const CMPIDateTimeFT* ft;
};

typedef struct _CMPIInstanceMIFT {
    int ftVersion;
    int miVersion;
    const char* miName;
    CMPIStatus (*cleanup)(CMPIInstanceMI* mi, const CMPIContext* ctx, CMPIBoolean terminating);
    CMPIStatus (*enumInstanceNames)(CMPIInstanceMI* mi, const CMPIContext* ctx, const CMPIResult* rslt,
                                    const CMPIObjectPath* op);
    CMPIStatus (*enumInstances)(CMPIInstanceMI* mi, const CMPIContext* ctx, const CMPIResult* rslt,
                                const CMPIObjectPath* op, const char** properties);
    CMPIStatus (*getInstance)(CMPIInstanceMI* mi, const CMPIContext* ctx, const CMPIResult* rslt,
                              const CMPIObjectPath* op, const char** properties);
    CMPIStatus (*createInstance)(CMPIInstanceMI* mi, const CMPIContext* ctx, const CMPIResult* rslt,
                                 const CMPIObjectPath* op, const CMPIInstance* inst);
    CMPIStatus (*modifyInstance)(CMPIInstanceMI* mi, const CMPIContext* ctx, const CMPIResult* rslt,
                                 const CMPIObjectPath* op, const CMPIInstance* inst, const char** properties);
    CMPIStatus (*deleteInstance)(CMPIInstanceMI* mi, const CMPIContext* ctx, const CMPIResult* rslt,
                                 const CMPIObjectPath* op);
    CMPIStatus (*execQuery)(CMPIInstanceMI* mi, const CMPIContext* ctx, const CMPIResult* rslt,
                            const CMPIObjectPath* op, const char* query, const char* lang);
} CMPIInstanceMIFT;

struct _CMPIInstanceMI {
    void* hdl;
    const CMPIInstanceMIFT* ft;
};

typedef struct _CMPIIndicationMIFT {
    int ftVersion;
    int miVersion;
    const char* miName;
    CMPIStatus (*cleanup)(CMPIIndicationMI* mi, const CMPIContext* ctx, CMPIBoolean terminating);
    CMPIStatus (*authorizeFilter)(CMPIIndicationMI* mi, const CMPIContext* ctx, const CMPISelectExp* filter,
                                  const char* className, const CMPIObjectPath* op, const char* owner);
    CMPIStatus (*mustPoll)(CMPIIndicationMI* mi, const CMPIContext* ctx, const CMPISelectExp* filter,
                           const char* className, const CMPIObjectPath* op);
    CMPIStatus (*activateFilter)(CMPIIndicationMI* mi, const CMPIContext* ctx, const CMPISelectExp* filter,
                                 const char* className, const CMPIObjectPath* op, CMPIBoolean first);
    CMPIStatus (*deActivateFilter)(CMPIIndicationMI* mi, const CMPIContext* ctx, const CMPISelectExp* filter,
                                   const char* className, const CMPIObjectPath* op, CMPIBoolean last);
    void (*enableIndications)(CMPIIndicationMI* mi, const CMPIContext* ctx);
    void (*disableIndications)(CMPIIndicationMI* mi, const CMPIContext* ctx);
} CMPIIndicationMIFT;

struct _CMPIIndicationMI {
    void* hdl;
    const CMPIIndicationMIFT* ft;
};

} // extern "C"

// The layout an object manager expects on 64-bit Linux.
static_assert(sizeof(CMPIStatus) == 16 && offsetof(CMPIStatus, msg) == 8, "CMPIStatus");
static_assert(sizeof(CMPIValue) == 16, "CMPIValue");
static_assert(sizeof(CMPIData) == 24 && offsetof(CMPIData, state) == 2 && offsetof(CMPIData, value) == 8,
              "CMPIData");
static_assert(sizeof(CMPIBroker) == 32, "CMPIBroker");
static_assert(sizeof(CMPIBrokerFT) == 160, "CMPIBrokerFT");
static_assert(offsetof(CMPIBrokerFT, prepareAttachThread) == 16 && offsetof(CMPIBrokerFT, deliverIndication) == 40,
              "CMPIBrokerFT slots");
static_assert(sizeof(CMPIBrokerEncFT) == 136, "CMPIBrokerEncFT");
static_assert(offsetof(CMPIBrokerEncFT, newInstance) == 8 && offsetof(CMPIBrokerEncFT, newObjectPath) == 16
                  && offsetof(CMPIBrokerEncFT, newDateTime) == 48,
              "CMPIBrokerEncFT slots");
static_assert(sizeof(CMPIBrokerExtFT) == 168 && offsetof(CMPIBrokerExtFT, newThread) == 16, "CMPIBrokerExtFT");
static_assert(sizeof(CMPIInstanceMIFT) == 80, "CMPIInstanceMIFT");
static_assert(sizeof(CMPIIndicationMIFT) == 72, "CMPIIndicationMIFT");
static_assert(offsetof(CMPIObjectPathFT, getNameSpace) == 32 && offsetof(CMPIObjectPathFT, getClassName) == 64
                  && offsetof(CMPIObjectPathFT, addKey) == 72 && offsetof(CMPIObjectPathFT, getKey) == 80,
              "CMPIObjectPathFT slots");
static_assert(offsetof(CMPIInstanceFT, setProperty) == 48, "CMPIInstanceFT slots");
static_assert(offsetof(CMPIResultFT, returnInstance) == 32 && offsetof(CMPIResultFT, returnDone) == 48,
              "CMPIResultFT slots");
static_assert(offsetof(CMPIContextFT, release) == 8, "CMPIContextFT slots");
static_assert(offsetof(CMPIStringFT, getCharPtr) == 24, "CMPIStringFT slots");

#endif
