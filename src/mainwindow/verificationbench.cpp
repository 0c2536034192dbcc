#include "verificationbench.h"

#include "modificationlimits.h"
#include "module.h"
#include "scpidmm.h"

namespace verificationbench {

verify::ModuleFacts moduleFacts(Module* module, const QString& crate, int slot)
{
    verify::ModuleFacts facts;
    if (!module || !module->isOpened())
        return facts;
    // "VEK72-1-8": the modification, then the channel count.
    facts.name = module->name(true);
    facts.modification = facts.name.section(QLatin1Char('-'), 1, 1).toInt();
    facts.channelCount = facts.name.section(QLatin1Char('-'), 2, 2).toInt();
    facts.serial = module->serial();
    facts.crate = crate;
    facts.slot = slot;
    const ModificationLimits& limits = limitsForModification(facts.modification);
    facts.dcLow = limits.dcMin / 1000.0;
    facts.dcHigh = limits.dcMax / 1000.0;
    facts.acHigh = limits.acMax / 1000.0;
    // Modification 2 plays the full range only.
    facts.fixedRange = facts.modification == 2;
    return facts;
}

verify::Runner::MeterFactory meterAt(const QString& address)
{
    return [address](const std::atomic<bool>* cancel) -> std::unique_ptr<instruments::Dmm> {
        return instruments::ScpiDmm::atAddress(address, cancel);
    };
}

} // namespace verificationbench
