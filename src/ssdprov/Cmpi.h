#ifndef VEXLOR_CMPI_WRAPPER_H
#define VEXLOR_CMPI_WRAPPER_H

#include "CmpiInterface.h"

// Calls into the object manager's broker. A failing broker status is raised
// as a CMPIStatus exception, which the provider operation that made the call
// catches, logs and answers with CMPI_RC_ERR_FAILED.
class Cmpi {
public:
    Cmpi() = delete;

    static CMPIObjectPath* MakeNewObjectPath(const CMPIBroker* broker, const char* name_space, const char* clazz)
    {
        CMPIStatus rc = okStatus();
        CMPIObjectPath* op = broker->eft->newObjectPath(broker, name_space, clazz, &rc);
        raiseIfFailed(rc);
        return op;
    }

    // A failing addKey goes unnoticed: the path then lacks its key.
    static void AddCharsKey(CMPIObjectPath* op, const char* key, const char* value)
    {
        op->ft->addKey(op, key, reinterpret_cast<const CMPIValue*>(value), CMPI_chars);
    }

    static CMPIInstance* MakeNewInstance(const CMPIBroker* broker, CMPIObjectPath* op)
    {
        CMPIStatus rc = okStatus();
        CMPIInstance* ci = broker->eft->newInstance(broker, op, &rc);
        raiseIfFailed(rc);
        return ci;
    }

    static void SetCharsProperty(CMPIInstance* ci, const char* name, const char* value)
    {
        raiseIfFailed(ci->ft->setProperty(ci, name, reinterpret_cast<const CMPIValue*>(value), CMPI_chars));
    }

    static void SetBooleanProperty(CMPIInstance* ci, const char* name, CMPIBoolean value)
    {
        raiseIfFailed(ci->ft->setProperty(ci, name, reinterpret_cast<const CMPIValue*>(&value), CMPI_boolean));
    }

    // The property holds the value's low 8 bits.
    static void SetUint8Property(CMPIInstance* ci, const char* name, CMPIUint16 value)
    {
        CMPIValue v {};
        v.uint8 = static_cast<CMPIUint8>(value & 0xFF);
        raiseIfFailed(ci->ft->setProperty(ci, name, &v, CMPI_uint8));
    }

    static void SetUint64Property(CMPIInstance* ci, const char* name, CMPIUint64 value)
    {
        raiseIfFailed(ci->ft->setProperty(ci, name, reinterpret_cast<const CMPIValue*>(&value), CMPI_uint64));
    }

    static CMPIDateTime* MakeNewDateTime(const CMPIBroker* broker)
    {
        CMPIStatus rc = okStatus();
        CMPIDateTime* dt = broker->eft->newDateTime(broker, &rc);
        raiseIfFailed(rc);
        return dt;
    }

    static void SetDateTimeProperty(CMPIInstance* ci, const char* name, CMPIDateTime* value)
    {
        raiseIfFailed(ci->ft->setProperty(ci, name, reinterpret_cast<const CMPIValue*>(&value), CMPI_dateTime));
    }

    // The key's text, whether the object manager hands it over as a string
    // object or as plain characters; null when the key carries no text (a
    // null value, a null string or null characters).
    static const char* GetCharsKeyValue(const CMPIObjectPath* op, const char* key)
    {
        CMPIStatus rc = okStatus();
        CMPIData data = op->ft->getKey(op, key, &rc);
        raiseIfFailed(rc);
        bool isNull = (data.state & CMPI_nullValue) != 0;
        if (data.type == CMPI_string) {
            CMPIString* text = data.value.string;
            if (isNull || text == nullptr || text->ft == nullptr || text->ft->getCharPtr == nullptr)
                return nullptr;
            const char* chars = text->ft->getCharPtr(text, &rc);
            raiseIfFailed(rc);
            return chars;
        }
        if (data.type == CMPI_chars)
            return isNull ? nullptr : data.value.chars;
        throw rc;
    }

    // A broker without the slot fails the delivery as not supported.
    static void deliverIndication(const CMPIBroker* broker, const CMPIContext* thr_ctx, const char* name_space,
                                  const CMPIInstance* indication)
    {
        if (broker->bft->deliverIndication == nullptr) {
            CMPIStatus missing = okStatus();
            missing.rc = CMPI_RC_ERR_NOT_SUPPORTED;
            throw missing;
        }
        raiseIfFailed(broker->bft->deliverIndication(broker, thr_ctx, name_space, indication));
    }

    // The text of a status's message, for the log.
    static const char* messageOf(const CMPIStatus& rc)
    {
        if (rc.msg == nullptr || rc.msg->hdl == nullptr)
            return "(no message)";
        return static_cast<const char*>(rc.msg->hdl);
    }

private:
    static CMPIStatus okStatus()
    {
        CMPIStatus rc;
        rc.rc = CMPI_RC_OK;
        rc.msg = nullptr;
        return rc;
    }

    static void raiseIfFailed(const CMPIStatus& rc)
    {
        if (rc.rc != CMPI_RC_OK)
            throw rc;
    }
};

#endif
