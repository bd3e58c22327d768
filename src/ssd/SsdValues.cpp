#include "SsdValues.h"

#include "Config.h"
#include "atacmd.h"
#include "log.h"

#include <cstring>

namespace {

const char* const kSeparator = "==============================";

struct FlagName {
    std::uint16_t bit;
    const char* text;
};
const FlagName kFlagNames[] = {
    {0x01, "  ATTRIBUTE_FLAGS_PREFAILURE"},   {0x02, "  ATTRIBUTE_FLAGS_ONLINE"},
    {0x04, "  ATTRIBUTE_FLAGS_PERFORMANCE"},  {0x08, "  ATTRIBUTE_FLAGS_ERRORRATE"},
    {0x10, "  ATTRIBUTE_FLAGS_EVENTCOUNT"},   {0x20, "  ATTRIBUTE_FLAGS_SELFPRESERVING"},
};

} // namespace

SsdValues::SsdValues()
    : percentageUsed(0)
    , powerOnHours(0)
    , attributes()
    , trace_attr_debug(Config::GetInstance()->getDbgTraceAttributes() != 0)
    , wearReadFailed(false)
{
}

void SsdValues::addAttr(const unsigned char* attr)
{
    atacmd::ata_smart_attribute entry;
    memcpy(&entry, attr, sizeof entry);
    SsdAttr sa;
    sa.ix = entry.id;
    sa.flags = static_cast<std::uint16_t>(attr[1] | attr[2] << 8);
    sa.current = entry.current;
    sa.worst = entry.worst;
    memcpy(sa.raw.bytes, entry.raw, sizeof entry.raw);
    addWellKnownIndex(sa);
    attributes.push_back(sa);
}

void SsdValues::addWellKnownIndex(SsdAttr& sa)
{
    if (sa.ix == atacmd::SMART_ATTRIBUTE_POWER_ON_HOURS)
        powerOnHours = sa.raw.val;
}

void SsdValues::addSanDiskIndices()
{
    SsdAttr sa;
    if (getAttr(atacmd::SMART_ATTRIBUTE_POWER_ON_HOURS, sa))
        powerOnHours = sa.raw.val;
    if (getAttr(atacmd::SMART_ATTRIBUTE_SANDISK_WEAR, sa))
        percentageUsed = sa.current;
    else
        percentageUsed = 255;
}

bool SsdValues::getAttr(unsigned long index, SsdAttr& attr)
{
    for (const SsdAttr& candidate : attributes) {
        if (candidate.ix == index) {
            attr = candidate;
            return true;
        }
    }
    return false;
}

bool SsdValues::containsAttr(unsigned long index)
{
    SsdAttr ignored;
    return getAttr(index, ignored);
}

void SsdValues::dumpAttributes()
{
    if (!trace_attr_debug)
        return;
    for (const SsdAttr& sa : attributes) {
        Log(LEVEL_TRACE, "%s", kSeparator);
        Log(LEVEL_TRACE, "Index: %d", sa.ix);
        Log(LEVEL_TRACE, "Flags: 0x%02x", sa.flags);
        for (const FlagName& flag : kFlagNames)
            if (sa.flags & flag.bit)
                Log(LEVEL_TRACE, "%s", flag.text);
        Log(LEVEL_TRACE, "Current: 0x%02x, %d", sa.current, sa.current);
        Log(LEVEL_TRACE, "Worst: 0x%02x, %d", sa.worst, sa.worst);
        Log(LEVEL_TRACE, "0x%02x 0x%02x 0x%02x 0x%02x 0x%02x 0x%02x ", sa.raw.bytes[0], sa.raw.bytes[1],
            sa.raw.bytes[2], sa.raw.bytes[3], sa.raw.bytes[4], sa.raw.bytes[5]);
        Log(LEVEL_TRACE, ",  0x%0llx, %lld\n", static_cast<unsigned long long>(sa.raw.val),
            static_cast<long long>(sa.raw.val));
        Log(LEVEL_TRACE, "%s", kSeparator);
    }
}
