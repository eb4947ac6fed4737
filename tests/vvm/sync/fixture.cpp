// The fixture's shared state.
#include "SyncFixture.h"

int StepActivity::s_worked = 0;
TestBus* SyncFixture::s_bus = nullptr;
TestServiceHost* SyncFixture::s_host = nullptr;
BusClient* SyncFixture::s_client = nullptr;
std::vector<unsigned> SyncFixture::s_waits;
std::vector<std::string> SyncFixture::s_log;
