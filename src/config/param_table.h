// The parameter table: one row per configuration key, in registration
// order. A row names the key, its value type, whether a [match] section may
// override it, its default written as in a configuration file, and the
// three operations everything else is built from: store the default,
// register with the parse context of a load, print the value in force.
// Adding a key means adding a field and a row; nothing else lists keys.
#ifndef TVX_CONFIG_PARAM_TABLE_H
#define TVX_CONFIG_PARAM_TABLE_H

#include <cstddef>
#include <ostream>
#include <string>

#include "config/icapd_config.h"

class cf_parser;

// Value types of the registry.
enum class param_type { string, boolean, digital, size, list };

struct param_def {
    const char *name;
    param_type type;
    int rid;          // override identifier, or id::global_only
    const char *def;  // the default, as a configuration value
    void (*store_default)(icapd_config &c, const param_def &row);
    void (*register_with)(cf_parser &p, icapd_config &c, const param_def &row);
    std::string (*show)(const icapd_config &c);
};

// The rows, in registration order.
const param_def *config_params(size_t *count);
// The row of a key (any letter case), or nullptr.
const param_def *config_param(const std::string &name);

// Stores the default of every key into c, in table order.
void config_store_defaults(icapd_config &c);

// Registers every key with p, bound to c: the Block* switches as
// overridable booleans, every other key as global only.
void config_register(cf_parser &p, icapd_config &c);

// One assignment "name = value" applied to c as a load would apply it
// (conversion, then the key's check). Throws the load's messages ("Param
// not found" for an unknown key).
void config_assign(icapd_config &c, const std::string &name, const std::string &value);

// "Name = value" for every key in table order, one per line: the
// configuration in force.
void config_dump(const icapd_config &c, std::ostream &out);

#endif
