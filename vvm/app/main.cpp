// The entry point of the visual-voicemail service.
#include "KelVvmActivityMgr.h"
#include "KelVvmLog.h"
#include "KelVvmServiceApp.h"

#include <glib.h>

int main(int argc, char** argv)
{
    gLogContext = QmLogGetContext("kelvvm");
    gchar* name = g_path_get_basename(argv[0]);
    KLOG_INFO("Starting %s", name);
    int status = KelVvmServiceApp::getInstance()->main(argc, argv);
    KLOG_INFO("Ending %s with return code %d", name, status);
    g_free(name);
    // Activities still alive cancel their calls while the bus handle is open; the application
    // then unregisters, before any static object goes, and the manager outlives it.
    KelVvmActivityMgr::getInstance()->cleanActivities();
    KelVvmServiceApp::s_appInstance.reset();
    return status;
}
