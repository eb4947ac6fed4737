// LinkServer: the controls of the modelled mobile link, on the bus as com.quor.carrier.link
// /emulator: which profile the relay applies, and what crossed it.
#ifndef EMULATOR_LINKSERVER_H
#define EMULATOR_LINKSERVER_H

#include "DeviceService.h"
#include "LinkModel.h"

namespace emulator
{

class LinkServer : public DeviceService
{
  public:
    // `model` is null when the emulator runs without a relay: then the profile cannot change.
    LinkServer(const DeviceContext& context, emu::link::LinkModel* model);
};

} // namespace emulator

#endif
