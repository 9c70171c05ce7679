// The node's facts in the forms that general monitoring tools read:
// NetJSON (a NetworkCollection of one NetworkGraph per running daemon, and
// a DeviceMonitoring object) and Prometheus's text exposition format
// 0.0.4. Every form is made from the node's own documents (nodeinfo,
// statistics) and the merged neighbour table behind the neighbours
// document, gathered once into one object, so each number in a form is the
// number a document holds.
#ifndef OLSR_KAVOND_FORMS_H
#define OLSR_KAVOND_FORMS_H

#include <json-c/json.h>
#include <stddef.h>

namespace kavond {

// Members of a gathered state: the nodeinfo document, the merged
// neighbour table, the statistics document.
constexpr char kStateNodeinfo[] = "nodeinfo";
constexpr char kStateNeighbours[] = "neighbours";
constexpr char kStateStatistics[] = "statistics";

// The file that --prometheus-textfile DIR writes, as node_exporter's
// textfile collector reads every DIR/*.prom.
constexpr char kPrometheusFile[] = "olsr_kavond.prom";

// One output form: its command line after "olsr-kavond", what it is made
// of and how it is given out.
struct Form {
	const char *option;
	const char *argument; // the fixed second word, NULL: a directory, "": none
	// The documents the form is made of, in one new object; NULL when one
	// cannot be had.
	json_object *(*gather)(void);
	// Prints the form of `state` on standard output, or writes it into
	// directory `dir` (NULL when printing): 0, else 1 with a message.
	int (*emit)(json_object *state, const char *dir);
	const char *about;
};

extern const Form kForms[];
extern const size_t kFormCount;

// Whether `option` begins one of the forms' command lines.
bool is_form_option(const char *option);
// The form that the command line's words after the program name select
// (`words` of them), or NULL (a usage error).
const Form *find_form(int words, char *const *args);

// The forms of a gathered state. Each returns a new object (or a malloc'd
// text, caller frees), NULL only when memory runs out. `hostname` is this
// node's name, the graph's id for the node when a daemon has no address.
json_object *netjson_graph(json_object *state, const char *hostname);
json_object *netjson_monitoring(json_object *state);
char *prometheus_text(json_object *state);

// The gatherers: every document, or the statistics document alone.
json_object *gather_all(void);
json_object *gather_statistics(void);

} // namespace kavond

#endif
