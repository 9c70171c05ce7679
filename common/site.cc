#include "site.h"

namespace tarvik {

json_object *site_olsrd_section(json_object *config) {
	json_object *mesh = json_object_object_get(config, kSiteMesh);
	return mesh ? json_object_object_get(mesh, kSiteOlsrd) : nullptr;
}

json_object *site_enable_value(json_object *olsrd, const DaemonFacts &daemon) {
	json_object *section = json_object_object_get(olsrd, daemon.site_section);
	json_object *enable = nullptr;
	if (section == nullptr || !json_object_object_get_ex(section, kSiteEnable, &enable))
		return nullptr;
	return enable;
}

bool site_daemon_enabled(json_object *olsrd, const DaemonFacts &daemon) {
	json_object *enable = site_enable_value(olsrd, daemon);
	return enable != nullptr && json_object_get_boolean(enable) != 0;
}

} // namespace tarvik
