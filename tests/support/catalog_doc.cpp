// Signed component catalogs for the tests.
#include "catalog_doc.h"

#include <stdio.h>
#include <time.h>

#include <gtest/gtest.h>

#include "codec.h"
#include "signed.h"

namespace {

// A JSON string; the tests' texts need no escapes beyond quote and backslash.
std::string json_str(const std::string &s)
{
    std::string q = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\')
            q += '\\';
        q += c;
    }
    return q + "\"";
}

std::string join(const std::vector<std::string> &items, const char *sep)
{
    std::string s;
    for (size_t i = 0; i < items.size(); i++)
        s += (i ? sep : "") + items[i];
    return s;
}

std::string component_json(const test_component &c)
{
    std::string s = "{\"id\": " + json_str(c.id);
    if (!c.title.empty())
        s += ", \"title\": " + json_str(c.title);
    if (c.is_default)
        s += ", \"default\": true";
    if (c.required)
        s += ", \"required\": true";
    if (!c.requires_ids.empty()) {
        std::vector<std::string> ids;
        for (const std::string &r : c.requires_ids)
            ids.push_back(json_str(r));
        s += ", \"requires\": [" + join(ids, ", ") + "]";
    }
    return s + "}";
}

std::string release_json(const test_release &r)
{
    std::vector<std::string> pkgs;
    for (const test_package &p : r.packages) {
        // Distinct names and sums per component and version.
        std::string name = p.component + "-" + r.version + ".pkg";
        std::string sum;
        for (size_t i = 0; sum.size() < 64; i++)
            sum += "0123456789abcdef"[(name[i % name.size()] + i) % 16];
        pkgs.push_back("{\"url\": " + json_str("pkgs/" + name) + ", \"sha256\": " + json_str(sum) +
                       ", \"size\": " + std::to_string(p.size) + ", \"component\": " +
                       json_str(p.component) + ", \"match\": " + p.match + "}");
    }
    std::string s = "{\"version\": " + json_str(r.version);
    if (r.rollout_percent >= 0)
        s += ", \"rollout_percent\": " + std::to_string(r.rollout_percent);
    return s + ", \"artifacts\": [" + join(pkgs, ", ") + "]}";
}

} // namespace

int64_t test_now()
{
    return (int64_t)time(nullptr);
}

std::string test_iso_time(int64_t t)
{
    time_t tt = (time_t)t;
    struct tm tm;
#ifdef _WIN32
    gmtime_s(&tm, &tt);
#else
    gmtime_r(&tt, &tm);
#endif
    char text[32];
    strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

std::string test_catalog::json() const
{
    int64_t now = test_now();
    std::vector<std::string> comps, rels;
    for (const test_component &c : components)
        comps.push_back(component_json(c));
    for (const test_release &r : releases)
        rels.push_back(release_json(r));
    std::string s = "{\"schema\": 1,\r\n\"product\": " + json_str(product) + ",\r\n\"channel\": " +
                    json_str(channel) + ",\r\n\"sequence\": " + std::to_string(sequence) +
                    ",\r\n\"issued\": " + json_str(test_iso_time(issued ? issued : now - 3600)) +
                    ",\r\n\"expires\": " +
                    json_str(test_iso_time(expires ? expires : now + 7 * 86400));
    if (!min_setup.empty())
        s += ",\r\n\"min_setup\": " + json_str(min_setup);
    return s + ",\r\n\"components\": [" + join(comps, ",\r\n") + "],\r\n\"releases\": [" +
           join(rels, ",\r\n") + "]}\r\n";
}

std::string test_catalog_sig(const std::string &doc, const uint8_t seed[32])
{
    uint8_t sig[64];
    if (catalog_sign(seed, doc.data(), doc.size(), sig) != 0) {
        ADD_FAILURE() << "catalog_sign failed";
        return "";
    }
    char text[100];
    b64_encode(sig, sizeof sig, text, sizeof text);
    return std::string(text) + "\n";
}
