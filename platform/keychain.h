// Stored passwords ("generic password" items: service, account, label, description, secret).
//
// Two stores behind one interface: the desktop's Secret Service through libsecret, and, where no Secret
// Service answers (headless machines, CI), a JSON file $XDG_CONFIG_HOME/meridot/credentials.json that
// only its owner may read (mode 0600). The file store refuses to read or write a file whose mode lets
// anyone else in, so a password never sits in a file others can open.
//
// Passwords are never logged and never leave these stores except as the return value of `password`.
//
// Thread-safety: every operation may be called from any thread; the file store serialises its own
// read-modify-write cycles.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tw::platform::keychain {

struct Item {
    std::string service;
    std::string account;
    std::string label;
    std::string description;
};

enum class Status { ok, notFound, failed };

class Keychain {
public:
    virtual ~Keychain() = default;
    // Every item with this label and description. `failed` when the store cannot be read.
    virtual Status findItems(const std::string& label, const std::string& description,
                             std::vector<Item>& out) = 0;
    // The secret of the item (service, account), or nothing when absent or unreadable.
    virtual std::optional<std::string> password(const std::string& service, const std::string& account) = 0;
    // Adds the item, replacing an item with the same service and account.
    virtual Status addItem(const Item& item, const std::string& password) = 0;
    // Removes the item (service, account); `notFound` when there was none.
    virtual Status deleteItem(const std::string& service, const std::string& account) = 0;
    virtual const char* kind() const = 0;
};

// The Secret Service store, or nothing when no Secret Service is running on the session bus (one that
// the bus could start on demand is not started).
std::unique_ptr<Keychain> makeSecretServiceKeychain();
// The file store at `path` (created on first write with mode 0600).
std::unique_ptr<Keychain> makeFileKeychain(std::string path);
// $XDG_CONFIG_HOME/meridot/credentials.json
std::string defaultCredentialsFile();
// The Secret Service when it answers, else the file store at its default place. Chosen on first use.
Keychain& defaultKeychain();

}  // namespace tw::platform::keychain
