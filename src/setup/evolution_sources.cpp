#include "setup/evolution_sources.h"

#include <algorithm>
#include <map>

#include "setup/key_file.h"

namespace pelorin {
namespace {

constexpr const char* kDataSource = "Data Source";
constexpr const char* kMailAccount = "Mail Account";
constexpr const char* kMailIdentity = "Mail Identity";
constexpr const char* kMailTransport = "Mail Transport";

std::string Security(const std::string& method) {
  if (method.find("starttls") != std::string::npos) return "starttls";
  if (method.find("ssl") != std::string::npos || method.find("tls") != std::string::npos) {
    return "tls";
  }
  return "none";
}

class EvolutionSources {
 public:
  explicit EvolutionSources(std::vector<SourceFile> files) {
    std::sort(files.begin(), files.end(),
              [](const SourceFile& a, const SourceFile& b) { return a.uid < b.uid; });
    for (const SourceFile& file : files) {
      order_.push_back(file.uid);
      sources_.emplace(file.uid, KeyFile::Parse(file.text, ValueEscapes::GLib));
    }
  }

  MailSetup Setup() const {
    const KeyFile* identity = SendingIdentity();
    if (identity == nullptr) return {};
    MailSetup setup;
    setup.address = identity->Value(kMailIdentity, "Address");
    AddTransport(setup, Find(identity->Value("Mail Submission", "TransportUid")));
    return setup;
  }

 private:
  const KeyFile* Find(const std::string& uid) const {
    const auto it = sources_.find(uid);
    return it == sources_.end() ? nullptr : &it->second;
  }

  static bool Enabled(const KeyFile& source) {
    return source.Value(kDataSource, "Enabled") != "false";
  }

  static bool HasAddress(const KeyFile* source) {
    return source != nullptr && Enabled(*source) &&
           !source->Value(kMailIdentity, "Address").empty();
  }

  const KeyFile* SendingIdentity() const {
    for (const std::string& uid : order_) {
      const KeyFile& source = sources_.at(uid);
      if (!source.HasGroup(kMailAccount) || !Enabled(source)) continue;
      const KeyFile* identity = Find(source.Value(kMailAccount, "IdentityUid"));
      if (HasAddress(identity)) return identity;
    }
    for (const std::string& uid : order_) {
      if (HasAddress(&sources_.at(uid))) return &sources_.at(uid);
    }
    return nullptr;
  }

  // A port of 0 or none means the protocol's own: 465 for TLS from the start.
  static void AddTransport(MailSetup& setup, const KeyFile* transport) {
    if (transport == nullptr || transport->Value(kMailTransport, "BackendName") != "smtp") return;
    setup.server = transport->Value("Authentication", "Host");
    if (setup.server.empty()) return;
    setup.security = Security(transport->Value("Security", "Method"));
    setup.port = transport->Value("Authentication", "Port");
    if (setup.port == "0") setup.port.clear();
    if (setup.port.empty() && setup.security == "tls") setup.port = "465";
    setup.user = transport->Value("Authentication", "User");
  }

  std::vector<std::string> order_;
  std::map<std::string, KeyFile> sources_;
};

}  // namespace

MailSetup ReadEvolutionSources(std::vector<SourceFile> files) {
  return EvolutionSources(std::move(files)).Setup();
}

}  // namespace pelorin
