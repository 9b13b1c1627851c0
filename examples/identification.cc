#include "identification.h"

#include "audit.h"
#include "cdsapi/BinderCdsDb.h"
#include "cdsapi/IdentificationCdsDb.h"

namespace demo {

namespace {

class PrintingListener : public tova::common::IdentificationDb::Listener {
 public:
  explicit PrintingListener(Console& out) : out_(out) {}
  void onIdentificationChanged(tova::common::IdentificationDb& db, const conv::Identification& id) override {
    out_.say("  listener: identification of %s: vendor \"%s\", part \"%s\", name \"%s\", location \"%s\"\n",
             db.uuid().to_string().c_str(), id.vendor.c_str(), id.partNumber.c_str(), id.friendlyName.c_str(),
             id.location.c_str());
  }

 private:
  Console& out_;
};

}  // namespace

bool identification_tour(cdsapi::CdsAccessor& facade, const Installation& site, Console& out) {
  cdsapi::InBandAccessor& cds = facade.inbandAccessor();
  PrintingListener listener(out);
  // The listener hears the identification once, before the constructor returns.
  tova::IdentificationCdsDb identification(facade, site.pdu, &listener);

  conv::Identification changed;
  identification.load(changed);
  changed.friendlyName = "rack A power distribution (left)";
  changed.location = "hall 2, rack A";
  changed.swVersion = "3.4.1";
  identification.store(changed);
  audit_configuration(CEE_ACTION_UPDATE, "identification of device " + std::to_string(site.pdu) + " stored",
                      "name \"" + changed.friendlyName + "\", location \"" + changed.location + "\"");
  out.say("  stored; the device now reads: name \"%s\", location \"%s\", software %s\n",
          cds.getDeviceFriendlyName(site.pdu).c_str(), cds.getDeviceLocation(site.pdu).c_str(),
          cds.getDeviceSwVersion(site.pdu).c_str());

  // The sensors are the device's clients; interface names may hold any text.
  tova::BinderCdsDb binder(facade, identification, identification.uuid(), site.pdu);
  const tova::common::BinderClientsList clients = {
      {site.inlet_uuid, "modbus 1"}, {site.outlet_uuid, "modbus 2"}, {site.door_uuid, "contact, door \"A\""}};
  binder.updateClientsList(clients);
  audit_configuration(CEE_ACTION_UPDATE, "binder client list of device " + std::to_string(site.pdu) + " stored",
                      std::to_string(clients.size()) + " clients");
  tova::common::BinderClientsList read;
  binder.getClientsList(read);
  out.say("  binder clients read back (%s):\n", read == clients ? "as stored" : "DIFFERENT");
  for (const auto& client : read) {
    out.say("    %s via \"%s\"\n", client.uuid.to_string().c_str(), client.interfaceName.c_str());
  }
  out.say("  kept in the channels %s = %s\n                 and %s = %s\n", tova::BinderCdsDb::kUuidsChannel,
          cds.getChannelCValue(cds.getChannelId(site.pdu, tova::BinderCdsDb::kUuidsChannel)).as_string().c_str(),
          tova::BinderCdsDb::kIntfsChannel,
          cds.getChannelCValue(cds.getChannelId(site.pdu, tova::BinderCdsDb::kIntfsChannel)).as_string().c_str());
  return read == clients;
}

}  // namespace demo
