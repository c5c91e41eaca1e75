// --web-config: the file read with yaml-cpp and checked whole before serving.
#include "WebConfig.h"

#include <yaml-cpp/eventhandler.h>
#include <yaml-cpp/yaml.h>

#include <cerrno>
#include <cstring>
#include <regex>
#include <sstream>
#include <vector>

#include "BoundedFile.h"

namespace {

// The contents of the regular file at `path`, of at most `limit` bytes;
// `what` names it in the message.
std::string ReadRegularFile(const std::string& path, const std::string& what, std::size_t limit) {
    const std::string name = what.empty() ? path : what + " " + path;
    FileRules rules;
    rules.limit = limit;
    std::string text, why;
    if (ReadBoundedFile(path, name, rules, &text, &why)) return text;
    throw WebConfigError(why.empty() ? "cannot read " + name + ": " + std::strerror(ENOENT) : why);
}

// Refuses a key given twice in one map (at any depth) and a second document:
// yaml-cpp's nodes keep the first and drop the rest without a word, so a
// second `basic_auth_users:` would be ignored.
class CDuplicateKeys : public YAML::EventHandler {
public:
    explicit CDuplicateKeys(const std::string& path) : path_(path) {}

    int documents = 0;

    void OnDocumentStart(const YAML::Mark& mark) override {
        if (++documents > 1) {
            throw WebConfigError(Where(mark) + "a second document: the file must hold one");
        }
    }
    void OnDocumentEnd() override {}
    void OnNull(const YAML::Mark& mark, YAML::anchor_t) override { Node(mark, "~"); }
    void OnAlias(const YAML::Mark& mark, YAML::anchor_t anchor) override { Node(mark, "*" + std::to_string(anchor)); }
    void OnScalar(const YAML::Mark& mark, const std::string&, YAML::anchor_t, const std::string& value) override {
        Node(mark, value);
    }
    void OnSequenceStart(const YAML::Mark& mark, const std::string&, YAML::anchor_t, YAML::EmitterStyle::value) override {
        Node(mark, "");
        open_.push_back(Collection{false, true, {}});
    }
    void OnSequenceEnd() override { open_.pop_back(); }
    void OnMapStart(const YAML::Mark& mark, const std::string&, YAML::anchor_t, YAML::EmitterStyle::value) override {
        Node(mark, "");
        open_.push_back(Collection{true, true, {}});
    }
    void OnMapEnd() override { open_.pop_back(); }

private:
    struct Collection {
        bool map;
        bool at_key = true;
        std::map<std::string, int> keys;  // key -> its line
    };

    std::string Where(const YAML::Mark& mark) const { return path_ + ":" + std::to_string(mark.line + 1) + ": "; }

    // A node begins; `key` is its text when it is a key (empty: a
    // collection as a key, which the checks after this refuse).
    void Node(const YAML::Mark& mark, const std::string& key) {
        if (open_.empty() || !open_.back().map) return;
        Collection& map = open_.back();
        const bool is_key = map.at_key;
        map.at_key = !map.at_key;
        if (!is_key || key.empty()) return;  // a value; or a key with no text to compare
        const auto first = map.keys.emplace(key, mark.line + 1);
        if (!first.second) {
            throw WebConfigError(Where(mark) + "key '" + key + "' is given twice (first at line " +
                                 std::to_string(first.first->second) + "): the second would be ignored");
        }
    }

    const std::string& path_;
    std::vector<Collection> open_;
};

// "FILE:LINE: ", for the message of a problem at `node`.
std::string Where(const std::string& path, const YAML::Node& node) {
    return path + ":" + std::to_string(node.Mark().line + 1) + ": ";
}

std::string Join(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& word : words) text += (text.empty() ? "" : ", ") + word;
    return text;
}

// Fails on a key of `map` that is not in `known`, naming it.
void OnlyKnownKeys(const std::string& path, const YAML::Node& map, const std::string& section,
                   const std::vector<std::string>& known) {
    for (const auto& entry : map) {
        const std::string key = entry.first.Scalar();
        bool found = false;
        for (const std::string& name : known) found = found || key == name;
        if (!found) {
            throw WebConfigError(Where(path, entry.first) + "unknown key '" + key + "'" +
                                 (section.empty() ? "" : " in " + section) + " (known: " + Join(known) + ")");
        }
    }
}

void ExpectMap(const std::string& path, const YAML::Node& node, const std::string& name) {
    if (!node.IsMap()) throw WebConfigError(Where(path, node) + name + " must be a map of keys to values");
}

std::string Text(const std::string& path, const YAML::Node& node, const std::string& name) {
    if (!node.IsScalar()) throw WebConfigError(Where(path, node) + name + " must be a string");
    return node.Scalar();
}

// A file named in the config: relative to the config's folder, as the
// exporters take it, and read now into `contents`.
std::string ReadableFile(const std::string& path, const YAML::Node& node, const std::string& name,
                         std::string* contents) {
    std::string file = Text(path, node, name);
    const std::size_t slash = path.rfind('/');
    if (!file.empty() && file[0] != '/' && slash != std::string::npos) file = path.substr(0, slash + 1) + file;
    try {
        *contents = ReadRegularFile(file, name, MAX_CONFIG_BYTES);
    } catch (const WebConfigError& error) {
        throw WebConfigError(Where(path, node) + error.what());
    }
    return file;
}

void LoadTls(const std::string& path, const YAML::Node& tls, WebConfig* config) {
    ExpectMap(path, tls, "tls_server_config");
    OnlyKnownKeys(path, tls, "tls_server_config",
                  {"cert_file", "key_file", "min_version", "client_auth_type", "client_ca_file"});
    for (const char* required : {"cert_file", "key_file"}) {
        if (!tls[required]) throw WebConfigError(path + ": tls_server_config needs " + required);
    }
    config->tls = true;
    config->cert_file = ReadableFile(path, tls["cert_file"], "cert_file", &config->cert_pem);
    config->key_file = ReadableFile(path, tls["key_file"], "key_file", &config->key_pem);
    if (tls["min_version"]) {
        const std::string version = Text(path, tls["min_version"], "min_version");
        if (version != "TLS12" && version != "TLS13") {
            throw WebConfigError(Where(path, tls["min_version"]) + "min_version '" + version +
                                 "' is not TLS12 or TLS13 (older versions are not served)");
        }
        config->tls13_only = version == "TLS13";
    }
    if (tls["client_auth_type"]) {
        const std::string type = Text(path, tls["client_auth_type"], "client_auth_type");
        if (type == "VerifyClientCertIfGiven") {
            config->client_auth = WebConfig::ClientAuth::VerifyIfGiven;
        } else if (type == "RequireAndVerifyClientCert") {
            config->client_auth = WebConfig::ClientAuth::RequireAndVerify;
        } else if (type != "NoClientCert") {
            throw WebConfigError(Where(path, tls["client_auth_type"]) + "client_auth_type '" + type +
                                 "' is not NoClientCert, VerifyClientCertIfGiven or RequireAndVerifyClientCert "
                                 "(certificates that are not verified are not taken)");
        }
    }
    if (tls["client_ca_file"]) {
        config->client_ca_file = ReadableFile(path, tls["client_ca_file"], "client_ca_file", &config->client_ca_pem);
    }
    const bool verifies = config->client_auth != WebConfig::ClientAuth::None;
    if (verifies && config->client_ca_file.empty()) {
        throw WebConfigError(path + ": client_auth_type verifies client certificates: it needs client_ca_file");
    }
    if (!verifies && !config->client_ca_file.empty()) {
        throw WebConfigError(path + ": client_ca_file is given, but client_auth_type does not verify clients");
    }
}

void LoadUsers(const std::string& path, const YAML::Node& users, WebConfig* config) {
    ExpectMap(path, users, "basic_auth_users");
    if (users.size() > MAX_USERS) {
        throw WebConfigError(Where(path, users) + "basic_auth_users has " + std::to_string(users.size()) +
                             " users, more than the " + std::to_string(MAX_USERS) + " this server takes");
    }
    static const std::regex bcrypt(R"(\$2[aby]\$(0[4-9]|[12][0-9]|3[01])\$[./A-Za-z0-9]{53})");
    for (const auto& entry : users) {
        const std::string user = Text(path, entry.first, "a user's name");
        const std::string hash = Text(path, entry.second, "the hash of user '" + user + "'");
        if (user.find(':') != std::string::npos) {
            throw WebConfigError(Where(path, entry.first) + "user '" + user + "': a name with ':' cannot log in");
        }
        if (hash.size() != 60 || !std::regex_match(hash, bcrypt)) {
            throw WebConfigError(Where(path, entry.second) + "the hash of user '" + user +
                                 "' is not a bcrypt hash ($2b$, $2a$ or $2y$, cost 04 to " +
                                 std::to_string(MAX_BCRYPT_COST) + ", 60 characters)");
        }
        const int cost = std::stoi(hash.substr(4, 2));
        if (cost > MAX_BCRYPT_COST) {
            throw WebConfigError(Where(path, entry.second) + "the hash of user '" + user + "' has cost " +
                                 std::to_string(cost) + ", above " + std::to_string(MAX_BCRYPT_COST) +
                                 ", the most this server takes (a check at " + std::to_string(MAX_BCRYPT_COST) +
                                 " takes about a second, and each step above doubles it, while every other "
                                 "login waits)");
        }
        config->basic_auth_users[user] = hash;
    }
}

}  // namespace

WebConfig LoadWebConfig(const std::string& path) {
    const std::string text = ReadRegularFile(path, "", MAX_CONFIG_BYTES);
    WebConfig config;
    try {
        std::istringstream stream(text);
        YAML::Parser parser(stream);
        CDuplicateKeys duplicates(path);
        while (parser.HandleNextDocument(duplicates)) {
        }
        const YAML::Node root = YAML::Load(text);
        if (root.IsNull()) return config;  // an empty file: plain HTTP, no users, as the exporters take it
        ExpectMap(path, root, "the file");
        OnlyKnownKeys(path, root, "", {"tls_server_config", "basic_auth_users"});
        if (root["tls_server_config"] && !root["tls_server_config"].IsNull()) {
            LoadTls(path, root["tls_server_config"], &config);
        }
        if (root["basic_auth_users"] && !root["basic_auth_users"].IsNull()) {
            LoadUsers(path, root["basic_auth_users"], &config);
        }
    } catch (const YAML::Exception& error) {
        throw WebConfigError(path + ":" + std::to_string(error.mark.line + 1) + ": " + error.msg);
    }
    return config;
}
