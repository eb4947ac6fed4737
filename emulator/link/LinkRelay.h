// LinkRelay: a server's connections carried through a LinkModel: every byte each way is held
// until the model says it would have crossed the mobile link.
#ifndef EMU_LINKRELAY_H
#define EMU_LINKRELAY_H

#include "Forwarder.h"
#include "LinkModel.h"

namespace emu::link
{

class LinkRelay : public Forwarder
{
  public:
    explicit LinkRelay(LinkModel& model) : m_model(model) {}
    ~LinkRelay() override { stop(); }

  protected:
    void serve(int client, int target) override;

  private:
    LinkModel& m_model;
};

} // namespace emu::link

#endif
