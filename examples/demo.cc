// A tour of the library on a small installation: a power distribution device
// and sensors under the manager device, with channels, values, alarms, live
// subscriptions, the installation's configuration as an out-of-band document,
// the power distribution device's identification and binder client list,
// and a reconciliation of the sensors the application sees. Everything is
// reached through one CdsAccessor, as an application does. Each change to
// the installation is also an audit record in the system log, echoed here.
//
//   cds-demo                      uses a data store inside this process
//   cds-demo --endpoint unix:PATH uses the cdsd daemon listening on PATH
//
// Exit status: 0 when everything worked, 1 when a request failed, 3 when
// callbacks that the data store should have sent did not arrive in time.
#include <cstdio>
#include <exception>
#include <string>

#include "alarm_tour.h"
#include "audit.h"
#include "cdsapi/CdsAccessor.h"
#include "configuration.h"
#include "console.h"
#include "identification.h"
#include "installation.h"
#include "reconciliation.h"
#include "subscriptions.h"
#include "endpoint_option.h"
#include "zu/CWallTime.h"

namespace {

// After unsubscribing, one more write must reach nobody.
bool quiet_after_unsubscribe(cdsapi::InBandAccessor& cds, const demo::Installation& site, demo::Console& out) {
  unsigned before = out.count(demo::Console::Value);
  cds.setChannelCValue(site.inlet_temperature, zu::CValue(22.0));
  bool late = out.await(demo::Console::Value, before + 1, std::chrono::milliseconds(300));
  if (late) std::fprintf(stderr, "demo: a value callback ran after its subscription was released\n");
  out.say("  a write after unsubscribing: %s\n", late ? "CALLED BACK" : "no callback");
  return !late;
}

}  // namespace

int main(int argc, char** argv) {
  std::string endpoint;
  if (int code = demo::take_endpoint_option(argc, argv, endpoint); code >= 0) return code;

  // The front door: the connection and every accessor come from the facade.
  cdsapi::CdsAccessor facade("cds-demo", true);
  if (!facade.isConnected()) return 1;
  cdsapi::InBandAccessor& cds = facade.inbandAccessor();
  cdsapi::DataAlarms& alarms = facade.alarmsAccessor();
  // Static: the configuration's path subscription cannot be ended, so its
  // callback may run until the process exits.
  static demo::Console out;
  // This thread's audit logger; records of the process carry "cds-demo".
  cdsapi::dataLog logger("cds-demo");
  static demo::AuditEcho echo(out);
  out.say("== connected to the data store at %s as \"%s\"\n", endpoint.c_str(),
          facade.getDataClient().name.c_str());

  // Declared before the subscriptions, whose callbacks read them.
  demo::Installation site;
  bool callbacks_complete = true;
  try {
    site = demo::build(facade, out);
    demo::audit_device(CEE_ACTION_CREATE, "installation built under device " + std::to_string(site.pdu),
                       "3 sensors");
    out.say("\n== installation under the manager device\n");
    demo::print_tree(cds, demo::kManager, out);

    out.say("\n== configuration as an out-of-band document\n");
    callbacks_complete &= demo::configuration_tour(facade.oobAccessor(), out);
    demo::audit_configuration(CEE_ACTION_UPDATE, "configuration document written", demo::kConfigPath);

    out.say("\n== alarm configuration\n");
    demo::configure_alarms(cds, site, out);
    demo::audit_configuration(CEE_ACTION_UPDATE, "alarm triggers configured", "5 channels");

    out.say("\n== subscriptions (callbacks run on the thread named in <>; this is \"%s\")\n",
            demo::thread_name().c_str());
    demo::Subscriptions subscriptions(cds, alarms, site, out);
    bool subscribed = subscriptions.subscribe();

    out.say("\n== sweep: each write, then the callbacks it caused\n");
    zu::CWallTime since = zu::CWallTime::now();
    callbacks_complete &= demo::sweep(cds, alarms, site, out) && subscribed;

    out.say("\n== unsubscribing\n");
    callbacks_complete &= subscriptions.unsubscribe();
    callbacks_complete &= quiet_after_unsubscribe(cds, site, out);

    demo::report(alarms, site, since, out);

    out.say("\n== identification and binder client list of the power distribution device\n");
    bool identification_kept = demo::identification_tour(facade, site, out);

    out.say("\n== reconciliation: the sensors the application sees now\n");
    demo::reconcile(facade, site, out);
    demo::audit_device(CEE_ACTION_DELETE, "sub-devices of device " + std::to_string(site.pdu) + " reconciled",
                       "door contact removed, leak sensor added");
    if (!identification_kept) return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "demo: %s\n", e.what());
    return 1;
  }
  return callbacks_complete ? 0 : 3;
}
