// Stand-in for the firmware's utility library: the site configuration
// from a JSON file, interface facts from /sys/class/net.
//
// Interface names reach this library from routing-daemon answers, so they
// are untrusted: a name that could leave /sys/class/net (empty, too long,
// "." or "..", or holding "/") never becomes part of a path.
#include "plovanutil.h"

#include <dirent.h>
#include <json-c/json.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

namespace {

constexpr size_t kNameMax = 15;      // kernel interface names, without NUL
constexpr int kMaxLowerDepth = 16;   // guards against a cycle of lower_ links

bool valid_ifname(const char *name) {
	if (name == nullptr)
		return false;
	size_t len = strnlen(name, kNameMax + 1);
	if (len == 0 || len > kNameMax)
		return false;
	if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
		return false;
	return strchr(name, '/') == nullptr;
}

// "/sys/class/net/<name>/<leaf>" into `out`; false when it does not fit.
bool sys_path(char *out, size_t size, const char *name, const char *leaf) {
	int n = snprintf(out, size, "/sys/class/net/%s/%s", name, leaf);
	return n > 0 && static_cast<size_t>(n) < size;
}

bool sys_exists(const char *name, const char *leaf) {
	char path[256];
	struct stat st;
	return sys_path(path, sizeof path, name, leaf) && stat(path, &st) == 0;
}

// The first line of a small sysfs file, without its newline.
bool sys_read_line(const char *name, const char *leaf, char *out, size_t size) {
	char path[256];
	if (!sys_path(path, sizeof path, name, leaf))
		return false;
	FILE *f = fopen(path, "re");
	if (f == nullptr)
		return false;
	bool ok = fgets(out, static_cast<int>(size), f) != nullptr;
	fclose(f);
	if (ok)
		out[strcspn(out, "\n")] = '\0';
	return ok;
}

// The name of the first lower_* entry of `name` in name order, into
// `lower` (16 bytes); false when there is none.
bool first_lower(const char *name, char *lower) {
	char path[256];
	if (!sys_path(path, sizeof path, name, ""))
		return false;
	DIR *dir = opendir(path);
	if (dir == nullptr)
		return false;
	bool found = false;
	while (struct dirent *de = readdir(dir)) {
		if (strncmp(de->d_name, "lower_", 6) != 0)
			continue;
		const char *dev = de->d_name + 6;
		if (!valid_ifname(dev))
			continue;
		if (!found || strcmp(dev, lower) < 0) {
			strcpy(lower, dev); // fits: valid_ifname bounds it to 15
			found = true;
		}
	}
	closedir(dir);
	return found;
}

#ifdef PLOVANUTIL_WIRELESS_LIST
// Test build only: devices named in the list file count as wireless.
bool listed_wireless(const char *name) {
	FILE *f = fopen(PLOVANUTIL_WIRELESS_LIST, "re");
	if (f == nullptr)
		return false;
	char line[64];
	bool found = false;
	while (!found && fgets(line, sizeof line, f) != nullptr) {
		line[strcspn(line, "\r\n")] = '\0';
		found = strcmp(line, name) == 0;
	}
	fclose(f);
	return found;
}
#endif

} // namespace

extern "C" {

json_object *plovanutil_load_site_config(void) {
	json_object *config = json_object_from_file("/etc/plovan/site.json");
	if (config != nullptr && !json_object_is_type(config, json_type_object)) {
		json_object_put(config);
		return nullptr;
	}
	return config;
}

char *plovanutil_get_interface_address(const char *ifname) {
	if (!valid_ifname(ifname))
		return nullptr;
	char line[64];
	if (!sys_read_line(ifname, "address", line, sizeof line) || line[0] == '\0')
		return nullptr;
	return strdup(line);
}

json_object *plovanutil_wrap_and_free_string(char *text) {
	if (text == nullptr)
		return nullptr;
	json_object *value = json_object_new_string(text);
	free(text);
	return value;
}

void plovanutil_get_interface_lower(char *lower, const char *ifname) {
	lower[0] = '\0';
	if (!valid_ifname(ifname))
		return;
	char current[kNameMax + 1];
	strcpy(current, ifname);
	char next[kNameMax + 1];
	for (int depth = 0; depth < kMaxLowerDepth && first_lower(current, next); depth++)
		strcpy(current, next);
	strcpy(lower, current);
}

int plovanutil_get_interface_type(const char *ifname) {
	if (!valid_ifname(ifname))
		return 0;
#ifdef PLOVANUTIL_WIRELESS_LIST
	if (listed_wireless(ifname))
		return 2;
#endif
	if (sys_exists(ifname, "phy80211") || sys_exists(ifname, "wireless"))
		return 2;
	if (sys_exists(ifname, "tun_flags"))
		return 3;
	char line[32];
	if (!sys_read_line(ifname, "type", line, sizeof line))
		return 0;
	char *end = nullptr;
	long type = strtol(line, &end, 10);
	if (end == line)
		return 0;
	switch (type) {
	case 768:   // IP-in-IP tunnel
	case 769:   // IPv6-in-IPv6 tunnel
	case 776:   // IPv6-in-IPv4 (sit)
	case 778:   // GRE
	case 65534: // no hardware header (tun, wireguard)
		return 3;
	case 1:     // Ethernet
		return 1;
	default:
		return 0;
	}
}

} // extern "C"
