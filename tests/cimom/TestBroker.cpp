#include "TestBroker.h"

#include <cstdio>
#include <ctime>
#include <sstream>
#include <thread>

namespace cimom {

namespace {

struct ContextObject;
// The context this thread attached with, null while it is not attached.
thread_local ContextObject* attachedWith = nullptr;
// Whether the object manager runs this thread: one of its request threads,
// or one its newThread started. Any other thread may use the broker only
// while attached.
thread_local bool objectManagerThread = false;

CMPIStatus statusOf(CMPIrc rc)
{
    CMPIStatus status;
    status.rc = rc;
    status.msg = nullptr;
    return status;
}

TestBroker* ownerOf(const CMPIBroker* mb)
{
    return static_cast<TestBroker*>(mb->hdl);
}

struct StringObject : TestBroker::Object {
    CMPIString head;
    std::string text;
};

struct DateTimeObject : TestBroker::Object {
    CMPIDateTime head;
    std::string text;
};

struct PathObject : TestBroker::Object {
    CMPIObjectPath head;
    TestBroker* owner = nullptr;
    PathRecord record;
    std::map<std::string, CMPIData> keyData;
};

struct InstanceObject : TestBroker::Object {
    CMPIInstance head;
    TestBroker* owner = nullptr;
    InstanceRecord record;
};

struct ContextObject : TestBroker::Object {
    CMPIContext head;
    TestBroker* owner = nullptr;
    bool prepared = false;
    bool disposed = false;
    int attachedThreads = 0;
    std::string name;   // as the context trace shows it
};

struct ResultObject : TestBroker::Object {
    CMPIResult head;
    TestBroker* owner = nullptr;
    ResultRecord record;
};

template <typename T> T* self(const void* hdl)
{
    return static_cast<T*>(const_cast<void*>(hdl));
}

// --- strings -------------------------------------------------------------
CMPIStatus stringRelease(CMPIString*)
{
    return statusOf(CMPI_RC_OK);
}

char* stringGetCharPtr(const CMPIString* st, CMPIStatus* rc)
{
    if (rc != nullptr)
        *rc = statusOf(CMPI_RC_OK);
    return static_cast<char*>(st->hdl);
}

const CMPIStringFT kStringFT = {1, stringRelease, nullptr, stringGetCharPtr};

CMPIString* makeString(TestBroker* owner, const std::string& text)
{
    auto object = std::make_unique<StringObject>();
    object->text = text;
    object->head.ft = &kStringFT;
    StringObject* kept = owner->keep(std::move(object));
    kept->head.hdl = kept->text.data();
    return &kept->head;
}

// --- values ----------------------------------------------------------------
// Reads a value the CMPI way: chars arrive as the character pointer itself.
// A null pointer is no value at all, which an object manager keeps apart
// from an empty text.
Value readValue(const CMPIValue* value, CMPIType type)
{
    Value v;
    v.type = type;
    if (value == nullptr) {
        v.null = true;
        return v;
    }
    switch (type) {
    case CMPI_chars:
        v.text = reinterpret_cast<const char*>(value);
        break;
    case CMPI_string:
        if (value->string == nullptr || value->string->hdl == nullptr)
            v.null = true;
        else
            v.text = static_cast<const char*>(value->string->hdl);
        break;
    case CMPI_boolean:
        v.number = value->boolean;
        break;
    case CMPI_uint8:
        v.number = value->uint8;
        break;
    case CMPI_uint16:
        v.number = value->uint16;
        break;
    case CMPI_uint32:
        v.number = value->uint32;
        break;
    case CMPI_uint64:
        v.number = value->uint64;
        break;
    case CMPI_dateTime:
        v.text = value->dateTime != nullptr ? static_cast<DateTimeObject*>(value->dateTime->hdl)->text : "";
        break;
    default:
        break;
    }
    return v;
}

// --- object paths ------------------------------------------------------------
CMPIString* pathGetNameSpace(const CMPIObjectPath* op, CMPIStatus* rc)
{
    auto* path = self<PathObject>(op->hdl);
    path->owner->touch();
    if (rc != nullptr)
        *rc = statusOf(CMPI_RC_OK);
    return makeString(path->owner, path->record.nameSpace);
}

CMPIString* pathGetClassName(const CMPIObjectPath* op, CMPIStatus* rc)
{
    auto* path = self<PathObject>(op->hdl);
    path->owner->touch();
    if (rc != nullptr)
        *rc = statusOf(CMPI_RC_OK);
    return makeString(path->owner, path->record.className);
}

CMPIStatus pathAddKey(CMPIObjectPath* op, const char* name, const CMPIValue* value, CMPIType type)
{
    auto* path = self<PathObject>(op->hdl);
    path->owner->touch();
    path->record.keys.emplace_back(name, readValue(value, type));
    return statusOf(CMPI_RC_OK);
}

CMPIData pathGetKey(const CMPIObjectPath* op, const char* name, CMPIStatus* rc)
{
    auto* path = self<PathObject>(op->hdl);
    path->owner->touch();
    auto found = path->keyData.find(name);
    if (found == path->keyData.end()) {
        if (rc != nullptr)
            *rc = statusOf(CMPI_RC_ERR_NOT_FOUND);
        CMPIData none {};
        none.state = CMPI_notFound;
        return none;
    }
    if (rc != nullptr)
        *rc = statusOf(CMPI_RC_OK);
    return found->second;
}

const CMPIObjectPathFT kPathFT = {
    1, nullptr, nullptr, nullptr, pathGetNameSpace, nullptr, nullptr, nullptr, pathGetClassName, pathAddKey,
    pathGetKey, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
};

PathObject* makePath(TestBroker* owner, const std::string& nameSpace, const std::string& className)
{
    auto object = std::make_unique<PathObject>();
    object->owner = owner;
    object->record.nameSpace = nameSpace;
    object->record.className = className;
    object->head.ft = &kPathFT;
    PathObject* kept = owner->keep(std::move(object));
    kept->head.hdl = kept;
    return kept;
}

// --- instances ---------------------------------------------------------------
CMPIStatus instanceSetProperty(const CMPIInstance* inst, const char* name, const CMPIValue* value, CMPIType type)
{
    auto* instance = self<InstanceObject>(inst->hdl);
    CMPIStatus rc = statusOf(CMPI_RC_OK);
    if (!instance->owner->enter(Call::SetProperty, &rc))
        return rc;
    std::lock_guard<std::mutex> guard(instance->owner->lock());
    instance->record.properties.emplace_back(name, readValue(value, type));
    return rc;
}

const CMPIInstanceFT kInstanceFT = {1, nullptr, nullptr, nullptr, nullptr, nullptr, instanceSetProperty,
                                    nullptr, nullptr, nullptr};

// --- date-times ----------------------------------------------------------------
const CMPIDateTimeFT kDateTimeFT = {1, nullptr, nullptr, nullptr, nullptr, nullptr};

// --- contexts ----------------------------------------------------------------
// How the trace names a context the provider handed over; `owner`'s lock held.
std::string nameOf(TestBroker* owner, const CMPIContext* ctx)
{
    if (ctx == nullptr)
        return "null";
    if (!owner->knownContext(ctx))
        return "foreign";
    return self<ContextObject>(ctx->hdl)->name;
}

CMPIStatus contextRelease(CMPIContext* ctx)
{
    auto* context = self<ContextObject>(ctx->hdl);
    TestBroker* owner = context->owner;
    owner->touch();
    std::lock_guard<std::mutex> guard(owner->lock());
    owner->traceContext("release " + context->name);
    if (!context->prepared) {
        owner->violation("release of " + context->name + ", which the object manager owns");
    } else if (context->disposed) {
        owner->violation(context->name + " given back twice");
    } else {
        if (context->attachedThreads > 0)
            owner->violation(context->name + " released while a thread is attached with it");
        context->disposed = true;
        owner->contextReleased();
    }
    return statusOf(CMPI_RC_OK);
}

const CMPIContextFT kContextFT = {1, contextRelease, nullptr, nullptr, nullptr, nullptr, nullptr};

ContextObject* makeContext(TestBroker* owner, bool prepared, const std::string& name)
{
    auto object = std::make_unique<ContextObject>();
    object->owner = owner;
    object->prepared = prepared;
    object->name = name;
    object->head.ft = &kContextFT;
    ContextObject* kept = owner->keep(std::move(object));
    kept->head.hdl = kept;
    std::lock_guard<std::mutex> guard(owner->lock());
    owner->addContext(&kept->head);
    return kept;
}

// --- results -----------------------------------------------------------------
CMPIStatus resultReturnInstance(const CMPIResult* rslt, const CMPIInstance* inst)
{
    auto* result = self<ResultObject>(rslt->hdl);
    result->owner->touch();
    std::lock_guard<std::mutex> guard(result->owner->lock());
    result->record.instances.push_back(self<InstanceObject>(inst->hdl)->record);
    return statusOf(CMPI_RC_OK);
}

CMPIStatus resultReturnObjectPath(const CMPIResult* rslt, const CMPIObjectPath* ref)
{
    auto* result = self<ResultObject>(rslt->hdl);
    result->owner->touch();
    std::lock_guard<std::mutex> guard(result->owner->lock());
    result->record.paths.push_back(self<PathObject>(ref->hdl)->record);
    return statusOf(CMPI_RC_OK);
}

CMPIStatus resultReturnDone(const CMPIResult* rslt)
{
    auto* result = self<ResultObject>(rslt->hdl);
    result->owner->touch();
    std::lock_guard<std::mutex> guard(result->owner->lock());
    ++result->record.done;
    return statusOf(CMPI_RC_OK);
}

const CMPIResultFT kResultFT = {1, nullptr, nullptr, nullptr, resultReturnInstance, resultReturnObjectPath,
                                resultReturnDone};

// --- the broker's tables -------------------------------------------------------
// A context for another thread, prepared from a context the object manager
// gave the provider (a request's, or one prepared before).
CMPIContext* brokerPrepareAttachThread(const CMPIBroker* mb, const CMPIContext* ctx)
{
    TestBroker* owner = ownerOf(mb);
    owner->checkThread("prepareAttachThread");
    owner->touch();
    ContextObject* context = makeContext(owner, true, "");
    std::lock_guard<std::mutex> guard(owner->lock());
    std::string from = nameOf(owner, ctx);
    if (ctx == nullptr)
        owner->violation("prepareAttachThread without a context");
    else if (!owner->knownContext(ctx))
        owner->violation("prepareAttachThread with a context this broker never made");
    else if (self<ContextObject>(ctx->hdl)->disposed)
        owner->violation("prepareAttachThread from " + from + ", which was given back already");
    context->name = owner->nextPreparedName();
    owner->traceContext("prepare " + from + " -> " + context->name);
    owner->contextPrepared();
    return &context->head;
}

// A thread attaches with a context prepared for it, one thread per context.
CMPIStatus brokerAttachThread(const CMPIBroker* mb, const CMPIContext* ctx)
{
    TestBroker* owner = ownerOf(mb);
    {
        std::lock_guard<std::mutex> guard(owner->lock());
        std::string name = nameOf(owner, ctx);
        owner->traceContext("attach " + name);
        if (ctx == nullptr || !owner->knownContext(ctx)) {
            owner->violation("attachThread with a " + name + " context");
        } else {
            auto* context = self<ContextObject>(ctx->hdl);
            if (!context->prepared)
                owner->violation("attachThread with " + name + ", which was never prepared");
            else if (context->disposed)
                owner->violation("attachThread with " + name + ", which was given back already");
            else if (context->attachedThreads > 0)
                owner->violation("attachThread with " + name + ", which another thread is attached with");
        }
        if (attachedWith != nullptr)
            owner->violation("attachThread on a thread attached with " + attachedWith->name + " already");
    }
    CMPIStatus rc = statusOf(CMPI_RC_OK);
    if (!owner->enter(Call::AttachThread, &rc))
        return rc;
    std::lock_guard<std::mutex> guard(owner->lock());
    if (ctx != nullptr && owner->knownContext(ctx)) {
        attachedWith = self<ContextObject>(ctx->hdl);
        ++attachedWith->attachedThreads;
    }
    owner->attached();
    return rc;
}

CMPIStatus brokerDetachThread(const CMPIBroker* mb, const CMPIContext* ctx)
{
    TestBroker* owner = ownerOf(mb);
    owner->checkThread("detachThread");
    owner->touch();
    std::lock_guard<std::mutex> guard(owner->lock());
    std::string name = nameOf(owner, ctx);
    owner->traceContext("detach " + name);
    if (attachedWith == nullptr)
        owner->violation("detachThread with " + name + " on a thread that is not attached");
    else if (&attachedWith->head != ctx)
        owner->violation("detachThread with " + name + " on a thread attached with " + attachedWith->name);
    if (attachedWith != nullptr)
        --attachedWith->attachedThreads;
    attachedWith = nullptr;
    if (ctx == nullptr || !owner->knownContext(ctx))
        return statusOf(CMPI_RC_OK);
    auto* context = self<ContextObject>(ctx->hdl);
    // The object manager takes a detached thread's context back.
    if (context->prepared && !context->disposed) {
        context->disposed = true;
        owner->contextDetached();
    } else if (context->disposed) {
        owner->violation(name + " given back twice");
    }
    return statusOf(CMPI_RC_OK);
}

// Only a thread attached with a context may deliver, and with that context.
CMPIStatus brokerDeliverIndication(const CMPIBroker* mb, const CMPIContext* ctx, const char* ns,
                                   const CMPIInstance* ind)
{
    TestBroker* owner = ownerOf(mb);
    owner->checkThread("deliverIndication");
    {
        std::lock_guard<std::mutex> guard(owner->lock());
        std::string name = nameOf(owner, ctx);
        owner->traceContext("deliver " + name);
        if (attachedWith == nullptr)
            owner->violation("deliverIndication with " + name + " on a thread that is not attached");
        else if (&attachedWith->head != ctx)
            owner->violation("deliverIndication with " + name + " on a thread attached with " + attachedWith->name);
    }
    CMPIStatus rc = statusOf(CMPI_RC_OK);
    if (!owner->enter(Call::DeliverIndication, &rc))
        return rc;
    Delivery delivery;
    delivery.nameSpace = ns != nullptr ? ns : "";
    delivery.attached = attachedWith != nullptr;
    {
        std::lock_guard<std::mutex> guard(owner->lock());
        delivery.indication = self<InstanceObject>(ind->hdl)->record;
    }
    owner->recordDelivery(delivery);
    return rc;
}

const CMPIBrokerFT kBrokerFT = {
    0, 100, "vexlor test broker", brokerPrepareAttachThread, brokerAttachThread, brokerDetachThread,
    brokerDeliverIndication, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

CMPIInstance* brokerNewInstance(const CMPIBroker* mb, const CMPIObjectPath* op, CMPIStatus* rc)
{
    TestBroker* owner = ownerOf(mb);
    owner->checkThread("newInstance");
    CMPIStatus status = statusOf(CMPI_RC_OK);
    bool ok = owner->enter(Call::NewInstance, &status);
    if (rc != nullptr)
        *rc = status;
    if (!ok)
        return nullptr;
    auto object = std::make_unique<InstanceObject>();
    object->owner = owner;
    object->record.path = self<PathObject>(op->hdl)->record;
    object->head.ft = &kInstanceFT;
    InstanceObject* kept = owner->keep(std::move(object));
    kept->head.hdl = kept;
    return &kept->head;
}

CMPIObjectPath* brokerNewObjectPath(const CMPIBroker* mb, const char* ns, const char* cn, CMPIStatus* rc)
{
    TestBroker* owner = ownerOf(mb);
    owner->checkThread("newObjectPath");
    CMPIStatus status = statusOf(CMPI_RC_OK);
    bool ok = owner->enter(Call::NewObjectPath, &status);
    if (rc != nullptr)
        *rc = status;
    if (!ok)
        return nullptr;
    return &makePath(owner, ns, cn)->head;
}

CMPIDateTime* brokerNewDateTime(const CMPIBroker* mb, CMPIStatus* rc)
{
    TestBroker* owner = ownerOf(mb);
    owner->checkThread("newDateTime");
    CMPIStatus status = statusOf(CMPI_RC_OK);
    bool ok = owner->enter(Call::NewDateTime, &status);
    if (rc != nullptr)
        *rc = status;
    if (!ok)
        return nullptr;
    // The CIM date-time form, yyyymmddhhmmss.mmmmmmsutc.
    char text[32];
    time_t now = time(nullptr);
    struct tm utc {};
    gmtime_r(&now, &utc);
    strftime(text, sizeof text, "%Y%m%d%H%M%S.000000+000", &utc);
    auto object = std::make_unique<DateTimeObject>();
    object->text = text;
    object->head.ft = &kDateTimeFT;
    DateTimeObject* kept = owner->keep(std::move(object));
    kept->head.hdl = kept;
    return &kept->head;
}

const CMPIBrokerEncFT kBrokerEncFT = {
    1, brokerNewInstance, brokerNewObjectPath, nullptr, nullptr, nullptr, brokerNewDateTime, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
};

struct ThreadStart {
    TestBroker* owner;
    void* (*start)(void*);
    void* parm;
};

// The thread slots this object manager leaves empty stay null here too.
void* brokerNewThread(void* (*start)(void*), void* parm, int detached);

const CMPIBrokerExtFT kBrokerExtFT = {
    200, nullptr, brokerNewThread, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// newThread carries no broker; the one broker of the process answers.
std::atomic<TestBroker*> currentBroker{nullptr};

void* brokerNewThread(void* (*start)(void*), void* parm, int detached)
{
    TestBroker* owner = currentBroker;
    if (owner != nullptr)
        owner->checkThread("newThread");
    CMPIStatus status = statusOf(CMPI_RC_OK);
    if (owner == nullptr || !owner->enter(Call::NewThread, &status) || detached == 0)
        return nullptr;
    {
        std::lock_guard<std::mutex> guard(owner->lock());
        owner->threadStarted();
    }
    std::chrono::milliseconds late = owner->lateStart();
    std::thread([owner, start, parm, late] {
        objectManagerThread = true;
        std::this_thread::sleep_for(late);
        start(parm);
        owner->threadFinished();
    }).detach();
    return owner->newThreadHandleIsNull() || late.count() > 0 ? nullptr : reinterpret_cast<void*>(1);
}

} // namespace

const Value* InstanceRecord::property(const std::string& name) const
{
    for (const auto& [key, value] : properties)
        if (key == name)
            return &value;
    return nullptr;
}

std::string describe(const Value& value)
{
    char number[32];
    if (value.null) {
        // No colon: a null can never read like a value of the type.
        Value typeOnly;
        typeOnly.type = value.type;
        std::string name = describe(typeOnly);
        return name.substr(0, name.find(':')) + "(null)";
    }
    switch (value.type) {
    case CMPI_chars:
        return "chars:" + value.text;
    case CMPI_string:
        return "string:" + value.text;
    case CMPI_dateTime:
        return "dateTime:" + value.text;
    case CMPI_boolean:
        // CMPI's true is 1; any other non-zero byte is shown as it is.
        if (value.number <= 1)
            return std::string("boolean:") + (value.number == 1 ? "true" : "false");
        snprintf(number, sizeof number, "boolean:0x%02llx", static_cast<unsigned long long>(value.number));
        return number;
    case CMPI_uint8:
    case CMPI_uint16:
    case CMPI_uint32:
    case CMPI_uint64:
        snprintf(number, sizeof number, "uint%d:%llu",
                 value.type == CMPI_uint8 ? 8 : value.type == CMPI_uint16 ? 16 : value.type == CMPI_uint32 ? 32 : 64,
                 static_cast<unsigned long long>(value.number));
        return number;
    default:
        snprintf(number, sizeof number, "type0x%04x", value.type);
        return number;
    }
}

TestBroker::TestBroker()
{
    m_broker.hdl = this;
    m_bft = kBrokerFT;
    m_xft = kBrokerExtFT;
    m_broker.bft = &m_bft;
    m_broker.eft = &kBrokerEncFT;
    m_broker.xft = &m_xft;
    currentBroker = this;
}

TestBroker::~TestBroker()
{
    waitForThreads(std::chrono::seconds(10));
    currentBroker = nullptr;
}

const CMPIObjectPath* TestBroker::pathWithOddKey(const std::string& nameSpace, const std::string& className,
                                                 const std::string& key, const std::string& oddity)
{
    PathObject* path = makePath(this, nameSpace, className);
    CMPIData data {};
    data.type = oddity == "nullchars" ? CMPI_chars : CMPI_string;
    data.state = CMPI_keyValue;
    if (oddity == "nullstate") {
        data.state |= CMPI_nullValue;
        data.value.string = makeString(this, "");
    } else if (oddity == "nulltext") {
        data.value.string = makeString(this, "");
        data.value.string->hdl = nullptr;
    }
    path->keyData[key] = data;
    return &path->head;
}

bool TestBroker::removeSlot(const std::string& slot)
{
    if (slot == "prepareAttachThread")
        m_bft.prepareAttachThread = nullptr;
    else if (slot == "attachThread")
        m_bft.attachThread = nullptr;
    else if (slot == "detachThread")
        m_bft.detachThread = nullptr;
    else if (slot == "deliverIndication")
        m_bft.deliverIndication = nullptr;
    else if (slot == "newThread")
        m_xft.newThread = nullptr;
    else
        return false;
    return true;
}

template <typename T> T* TestBroker::keep(std::unique_ptr<T> object)
{
    T* kept = object.get();
    std::lock_guard<std::mutex> guard(m_lock);
    m_objects.push_back(std::move(object));
    return kept;
}

size_t TestBroker::objectCount()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_objects.size();
}

void TestBroker::dropObjectsAfter(size_t count)
{
    std::lock_guard<std::mutex> guard(m_lock);
    for (size_t index = count; index < m_objects.size(); ++index)
        if (auto* context = dynamic_cast<ContextObject*>(m_objects[index].get()))
            m_contexts.erase(&context->head);
    if (count < m_objects.size())
        m_objects.resize(count);
}

void TestBroker::noteCallLocked()
{
    if (m_slowed.size() > m_slowed.count(std::this_thread::get_id()))
        ++m_stats.overlaps;
}

void TestBroker::touch()
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_closed)
        ++m_stats.callsAfterClose;
    noteCallLocked();
}

bool TestBroker::enter(Call call, CMPIStatus* rc)
{
    std::chrono::milliseconds wait{0};
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_closed)
            ++m_stats.callsAfterClose;
        noteCallLocked();
        auto delayed = m_delays.find(call);
        if (delayed != m_delays.end())
            wait = delayed->second;
        if (wait.count() > 0)
            m_slowed.insert(std::this_thread::get_id());
    }
    if (wait.count() > 0) {
        std::this_thread::sleep_for(wait);
        std::lock_guard<std::mutex> guard(m_lock);
        m_slowed.erase(m_slowed.find(std::this_thread::get_id()));
    }
    std::lock_guard<std::mutex> guard(m_lock);
    auto failing = m_failures.find(call);
    if (failing != m_failures.end() && --failing->second.first == 0) {
        CMPIrc code = failing->second.second;
        m_failures.erase(failing);
        *rc = statusOf(code);
        return false;
    }
    return true;
}

const CMPIContext* TestBroker::requestContext(const std::string& label)
{
    return &makeContext(this, false, label.empty() ? "request" : "request:" + label)->head;
}

void TestBroker::addContext(const CMPIContext* ctx)
{
    m_contexts.insert(ctx);
}

bool TestBroker::knownContext(const CMPIContext* ctx)
{
    return m_contexts.count(ctx) != 0;
}

std::vector<std::string> TestBroker::contextTrace()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_contextTrace;
}

void TestBroker::actAsObjectManagerThread()
{
    objectManagerThread = true;
}

void TestBroker::checkThread(const char* function)
{
    if (objectManagerThread || attachedWith != nullptr)
        return;
    std::ostringstream text;
    text << function << " called on thread " << std::this_thread::get_id()
         << ", which the object manager neither started nor attached";
    std::lock_guard<std::mutex> guard(m_lock);
    m_threadViolations.push_back(text.str());
}

std::vector<std::string> TestBroker::threadViolations()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_threadViolations;
}

std::vector<std::string> TestBroker::violations()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_violations;
}

const CMPIObjectPath* TestBroker::path(const std::string& nameSpace, const std::string& className)
{
    return &makePath(this, nameSpace, className)->head;
}

const CMPIObjectPath* TestBroker::pathWithKey(const std::string& nameSpace, const std::string& className,
                                              const std::string& key, const std::string& value, CMPIType type)
{
    PathObject* path = makePath(this, nameSpace, className);
    CMPIData data {};
    data.type = type;
    data.state = CMPI_keyValue;
    if (type == CMPI_string)
        data.value.string = makeString(this, value);
    else if (type == CMPI_chars)
        data.value.chars = static_cast<char*>(makeString(this, value)->hdl);
    else
        data.value.uint32 = static_cast<CMPIUint32>(value.size());
    path->keyData[key] = data;
    return &path->head;
}

const CMPIResult* TestBroker::newResult()
{
    auto object = std::make_unique<ResultObject>();
    object->owner = this;
    object->head.ft = &kResultFT;
    ResultObject* kept = keep(std::move(object));
    kept->head.hdl = kept;
    return &kept->head;
}

ResultRecord TestBroker::result(const CMPIResult* result)
{
    std::lock_guard<std::mutex> guard(m_lock);
    return self<ResultObject>(result->hdl)->record;
}

void TestBroker::failNth(Call call, int n, CMPIrc rc)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_failures[call] = {n, rc};
}

void TestBroker::delay(Call call, std::chrono::milliseconds duration)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_delays[call] = duration;
}

void TestBroker::recordDelivery(Delivery delivery)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_deliveries.push_back(std::move(delivery));
    m_changed.notify_all();
}

std::vector<Delivery> TestBroker::deliveries()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_deliveries;
}

bool TestBroker::waitForDeliveries(size_t count, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> guard(m_lock);
    return m_changed.wait_for(guard, timeout, [&] { return m_deliveries.size() >= count; });
}

void TestBroker::threadFinished()
{
    std::lock_guard<std::mutex> guard(m_lock);
    ++m_stats.threadsFinished;
    m_changed.notify_all();
}

bool TestBroker::waitForThreads(std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> guard(m_lock);
    return m_changed.wait_for(guard, timeout, [&] { return m_stats.threadsFinished >= m_stats.threadsStarted; });
}

void TestBroker::close()
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_closed = true;
}

TestBroker::Stats TestBroker::stats()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_stats;
}

} // namespace cimom
