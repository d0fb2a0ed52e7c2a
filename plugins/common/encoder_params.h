/*
 * The parameter text of every Kernova encoder: blank-separated items "key:value", each key at
 * most once, in the spirit of "f:22050 c:1 b:16". Keys and word values are matched in either
 * case; a value is a decimal number in the key's range or one of the key's words. Anything
 * else refuses the whole text. The canonical text lists the keys that hold a value, in the
 * encoder's key order, in lower case.
 */
#ifndef KERNOVA_PLUGIN_ENCODER_PARAMS_H
#define KERNOVA_PLUGIN_ENCODER_PARAMS_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace knplugin {

constexpr int kUnset = INT32_MIN; // a key that the text did not give and no default fills
constexpr int kMaxParamKeys = 8;

// One key: a number in [minValue, maxValue], or, when `words` is set, one of the words of that
// null-terminated list, whose index is the value.
struct ParamKey {
    const char *name;
    int minValue;
    int maxValue;
    const char *const *words;
};

// The values of one encoder's keys, by the key's index in its grammar. This is the params
// handle that the core holds between StringToParams and FreeParams.
struct ParamValues {
    int value[kMaxParamKeys] = {kUnset, kUnset, kUnset, kUnset, kUnset, kUnset, kUnset, kUnset};

    bool Has(int key) const { return value[key] != kUnset; }
    int Get(int key) const { return value[key]; }
    void Set(int key, int v) { value[key] = v; }
    void Clear(int key) { value[key] = kUnset; }
    void SetIfUnset(int key, int v) {
        if (!Has(key))
            value[key] = v;
    }
};

struct ParamGrammar {
    const ParamKey *keys;
    int count;
};

// Parses `text` into fresh values; false for an unknown key, a bad value or a repeated key.
bool ParseParams(const char *text, const ParamGrammar &grammar, ParamValues &values);

// The canonical text: "key:value" for every key that holds a value, in grammar order.
std::string FormatParams(const ParamGrammar &grammar, const ParamValues &values);

// The text of one key's value ("22050", "vbr"), empty when the key holds none.
std::string FormatValue(const ParamKey &key, int value);

// Copies `text` into a buffer of `size` bytes, cut to fit and always terminated.
void CopyText(const std::string &text, char *buffer, size_t size);

} // namespace knplugin

#endif
