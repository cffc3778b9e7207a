#include "remote/sftp/SshTransport.h"

#include <libssh/libssh.h>

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <vector>

#include "platform/FileSystem.h"
#include "platform/Text.h"
#include "remote/sftp/SftpErrors.h"

namespace sftp {

struct TSshTransport::TState {
  ssh_session Session = nullptr;
  ssh_channel Channel = nullptr;
  TState() : Session(ssh_new()) {}
  ~TState() {
    if (Channel != nullptr) ssh_channel_free(Channel);
    ssh_disconnect(Session);
    ssh_free(Session);
  }
  TState(const TState&) = delete;
  TState& operator=(const TState&) = delete;
};

namespace {

std::string KnownHostsPath(const TSshOptions& options) {
  if (!options.KnownHostsFile.empty()) return options.KnownHostsFile;
  // NOLINTNEXTLINE(concurrency-mt-unsafe): the program never changes its environment
  const char* home = std::getenv("HOME");
  return std::string(home != nullptr ? home : "") + "/.ssh/known_hosts";
}

// The host as known_hosts names it: "host" on the standard port, "[host]:port" otherwise.
std::string KnownHostsName(const TSshOptions& options) {
  if (options.Port == 22) return options.Host;
  return "[" + options.Host + "]:" + std::to_string(options.Port);
}

std::string FingerprintOf(ssh_key key) {
  unsigned char* hash = nullptr;
  size_t length = 0;
  if (ssh_get_publickey_hash(key, SSH_PUBLICKEY_HASH_SHA256, &hash, &length) != SSH_OK) return {};
  char* text = ssh_get_fingerprint_hash(SSH_PUBLICKEY_HASH_SHA256, hash, length);
  ssh_clean_pubkey_hash(&hash);
  std::string fingerprint = text != nullptr ? text : "";
  ssh_string_free_char(text);
  return fingerprint;
}

// A pin as the user may have pasted it: blanks around it, or without the "SHA256:" and
// with base64's padding.
std::string NormalisedPin(const std::string& pin) {
  std::string text(TrimBlanksAndControls(pin));
  while (!text.empty() && text.back() == '=') text.pop_back();
  if (!text.empty() && text.rfind("SHA256:", 0) != 0) text = "SHA256:" + text;
  return text;
}

struct TKnownHostsLookup {
  bool Matched = false;
  std::string OtherFingerprint;  // of a key the file names for the host, when none matched
};

// Reads the file (never writes it); hashed host names are matched by libssh's line parser.
// A key of the offered type wins over one of another type as the key the host "had".
TKnownHostsLookup LookUpKnownHosts(const std::string& path, const std::string& host, ssh_key offered) {
  TKnownHostsLookup lookup;
  std::string content;
  if (!ReadWholeFile(path, content)) return lookup;
  bool otherOfSameType = false;
  for (size_t start = 0, end = 0; start < content.size(); start = end + 1) {
    end = std::min(content.find('\n', start), content.size());
    const std::string line(TrimBlanksAndControls(std::string_view(content).substr(start, end - start)));
    if (line.empty() || line[0] == '#' || line[0] == '@') continue;
    ssh_knownhosts_entry* entry = nullptr;
    if (ssh_known_hosts_parse_line(host.c_str(), line.c_str(), &entry) != SSH_OK || entry == nullptr) continue;
    if (ssh_key_cmp(offered, entry->publickey, SSH_KEY_CMP_PUBLIC) == 0) {
      lookup.Matched = true;
    } else if (!otherOfSameType) {
      otherOfSameType = ssh_key_type(offered) == ssh_key_type(entry->publickey);
      if (otherOfSameType || lookup.OtherFingerprint.empty()) lookup.OtherFingerprint = FingerprintOf(entry->publickey);
    }
    ssh_knownhosts_entry_free(entry);
    if (lookup.Matched) break;
  }
  return lookup;
}

std::string MethodNames(int methods) {
  std::string names;
  const auto add = [&names](const char* name) { names += (names.empty() ? "" : ",") + std::string(name); };
  if ((methods & SSH_AUTH_METHOD_PUBLICKEY) != 0) add("publickey");
  if ((methods & SSH_AUTH_METHOD_PASSWORD) != 0) add("password");
  if ((methods & SSH_AUTH_METHOD_INTERACTIVE) != 0) add("keyboard-interactive");
  if ((methods & SSH_AUTH_METHOD_HOSTBASED) != 0) add("hostbased");
  if ((methods & SSH_AUTH_METHOD_GSSAPI_MIC) != 0) add("gssapi-with-mic");
  return names.empty() ? "none" : names;
}

// Answers every hidden prompt with the password (visible ones, such as a banner, with
// nothing). A server that keeps asking is given up on after a few rounds.
int AuthenticateInteractively(ssh_session session, const std::string& password) {
  int result = ssh_userauth_kbdint(session, nullptr, nullptr);
  for (int round = 0; result == SSH_AUTH_INFO && round < 8; ++round) {
    const int prompts = ssh_userauth_kbdint_getnprompts(session);
    for (int i = 0; i < prompts; ++i) {
      char echo = 0;
      ssh_userauth_kbdint_getprompt(session, static_cast<unsigned>(i), &echo);
      ssh_userauth_kbdint_setanswer(session, static_cast<unsigned>(i), echo != 0 ? "" : password.c_str());
    }
    result = ssh_userauth_kbdint(session, nullptr, nullptr);
  }
  return result;
}

int AuthenticateWithKeyFile(ssh_session session, const TSshOptions& options) {
  ssh_key key = nullptr;
  const char* passphrase = options.Password.empty() ? nullptr : options.Password.c_str();
  if (ssh_pki_import_privkey_file(options.KeyFile.c_str(), passphrase, nullptr, nullptr, &key) != SSH_OK)
    return SSH_AUTH_DENIED;
  const int result = ssh_userauth_publickey(session, nullptr, key);
  ssh_key_free(key);
  return result;
}

}  // namespace

TSshTransport::TSshTransport() = default;

TSshTransport::~TSshTransport() { Close(); }

bool TSshTransport::IsOpen() const { return FState != nullptr && FState->Channel != nullptr; }

void TSshTransport::Close() noexcept {
  FState.reset();
  FSocket.Close();
}

void TSshTransport::Open(const TSshOptions& options) {
  Close();
  FHostKey = {};
  FTimeoutMs = options.TimeoutMs > 0 ? options.TimeoutMs : 300000;
  try {
    ConnectSocket(options);
    StartSession(options);
    VerifyHostKey(options);
    Authenticate(options);
    OpenChannel();
  } catch (...) {
    Close();
    throw;
  }
}

void TSshTransport::ConnectSocket(const TSshOptions& options) {
  std::vector<std::string> addresses;
  int error = ResolveHostAddresses(options.Host, addresses);
  for (const std::string& address : addresses) {
    FSocket.SetCanceller(&FCanceller);
    error = FSocket.Open(address);
    if (error == 0) error = FSocket.Connect(address, static_cast<uint16_t>(options.Port), FTimeoutMs);
    if (error == 0) return;
    FSocket.Close();
  }
  const char* text = SocketErrorText(error);
  throw ESftpError(TFailure::ConnectionLost,
                   "Cannot connect to " + options.Host + ": " + (*text != 0 ? text : SocketErrorMessage(error)));
}

void TSshTransport::StartSession(const TSshOptions& options) {
  FState = std::make_unique<TState>();
  ssh_session session = FState->Session;
  if (session == nullptr) throw ESftpError(TFailure::ConnectionLost, "SSH session could not be created");
  bool processConfig = false;
  socket_t descriptor = FSocket.DuplicateDescriptor();
  const long timeoutSeconds = (FTimeoutMs + 999) / 1000;
  const int port = options.Port;
  const std::string knownHosts = KnownHostsPath(options);
  ssh_options_set(session, SSH_OPTIONS_PROCESS_CONFIG, &processConfig);
  ssh_options_set(session, SSH_OPTIONS_HOST, options.Host.c_str());
  ssh_options_set(session, SSH_OPTIONS_PORT, &port);
  ssh_options_set(session, SSH_OPTIONS_USER, options.UserName.c_str());
  ssh_options_set(session, SSH_OPTIONS_TIMEOUT, &timeoutSeconds);
  // libssh prefers the key types this file names for the host when it negotiates.
  ssh_options_set(session, SSH_OPTIONS_KNOWNHOSTS, knownHosts.c_str());
  if (descriptor < 0 || ssh_options_set(session, SSH_OPTIONS_FD, &descriptor) != SSH_OK)
    throw ESftpError(TFailure::ConnectionLost, "SSH session could not be created");
  if (ssh_connect(session) != SSH_OK) FailConnection("SSH connection failed");
}

void TSshTransport::VerifyHostKey(const TSshOptions& options) {
  ssh_key key = nullptr;
  if (ssh_get_server_publickey(FState->Session, &key) != SSH_OK) FailConnection("SSH host key not received");
  FHostKey.Type = ssh_key_type_to_char(ssh_key_type(key));
  FHostKey.Fingerprint = FingerprintOf(key);
  const TKnownHostsLookup known = LookUpKnownHosts(KnownHostsPath(options), KnownHostsName(options), key);
  ssh_key_free(key);
  FHostKey.KnownHost = known.Matched;
  const std::string pin = NormalisedPin(options.PinnedHostKey);
  if ((!pin.empty() && pin == FHostKey.Fingerprint) || known.Matched) return;
  if (!pin.empty() || !known.OtherFingerprint.empty()) {
    const std::string& old = !pin.empty() ? pin : known.OtherFingerprint;
    throw ESftpError(TFailure::HostKey, "Host key changed: pinned " + old + ", offered " + FHostKey.Fingerprint);
  }
  throw ESftpError(TFailure::HostKey, "Host key not trusted: " + FHostKey.Type + " " + FHostKey.Fingerprint);
}

void TSshTransport::Authenticate(const TSshOptions& options) {
  ssh_session session = FState->Session;
  int result = ssh_userauth_none(session, nullptr);
  if (result == SSH_AUTH_ERROR) FailConnection("SSH authentication");
  const int offered = ssh_userauth_list(session, nullptr);
  const auto offers = [session](int method) { return (ssh_userauth_list(session, nullptr) & method) != 0; };
  // NOLINTNEXTLINE(concurrency-mt-unsafe): the program never changes its environment
  const auto agent = std::getenv("SSH_AUTH_SOCK");
  if (result != SSH_AUTH_SUCCESS && options.UseAgent && agent != nullptr && *agent != 0 &&
      offers(SSH_AUTH_METHOD_PUBLICKEY))
    result = ssh_userauth_agent(session, nullptr);
  if (result != SSH_AUTH_SUCCESS && !options.KeyFile.empty() && offers(SSH_AUTH_METHOD_PUBLICKEY))
    result = AuthenticateWithKeyFile(session, options);
  if (result != SSH_AUTH_SUCCESS && !options.Password.empty() && offers(SSH_AUTH_METHOD_PASSWORD))
    result = ssh_userauth_password(session, nullptr, options.Password.c_str());
  if (result != SSH_AUTH_SUCCESS && !options.Password.empty() && offers(SSH_AUTH_METHOD_INTERACTIVE))
    result = AuthenticateInteractively(session, options.Password);
  if (result == SSH_AUTH_SUCCESS) return;
  if (ssh_is_connected(session) == 0) FailConnection("SSH authentication");
  throw ESftpError(TFailure::Authentication, "SSH authentication failed: " + MethodNames(offered));
}

void TSshTransport::OpenChannel() {
  ssh_channel channel = ssh_channel_new(FState->Session);
  if (channel == nullptr) FailConnection("SSH channel");
  FState->Channel = channel;
  if (ssh_channel_open_session(channel) != SSH_OK) FailConnection("SSH channel refused");
  if (ssh_channel_request_subsystem(channel, "sftp") != SSH_OK) FailConnection("SFTP subsystem refused");
}

void TSshTransport::FailConnection(const std::string& what) {
  std::string reason = FState != nullptr ? ssh_get_error(FState->Session) : "";
  if (FCanceller.Cancelled()) reason = "Interrupted";
  throw ESftpError(TFailure::ConnectionLost, reason.empty() ? what : what + ": " + reason);
}

void TSshTransport::Write(const uint8_t* data, size_t length) {
  if (!IsOpen()) throw ESftpError(TFailure::ConnectionLost, "Not connected");
  while (length > 0) {
    const auto chunk = static_cast<uint32_t>(std::min<size_t>(length, 1u << 20));
    const int written = ssh_channel_write(FState->Channel, data, chunk);
    if (written <= 0 || FCanceller.Cancelled()) FailConnection("Connection lost");
    data += written;
    length -= static_cast<size_t>(written);
  }
}

size_t TSshTransport::Read(uint8_t* buffer, size_t capacity) {
  if (!IsOpen()) throw ESftpError(TFailure::ConnectionLost, "Not connected");
  const auto count = static_cast<uint32_t>(std::min<size_t>(capacity, std::numeric_limits<int32_t>::max()));
  const int got = ssh_channel_read_timeout(FState->Channel, buffer, count, 0, FTimeoutMs);
  if (got > 0 && !FCanceller.Cancelled()) return static_cast<size_t>(got);
  if (got == 0 && ssh_channel_is_eof(FState->Channel) == 0 && ssh_is_connected(FState->Session) != 0 &&
      !FCanceller.Cancelled())
    throw ESftpError(TFailure::ConnectionLost, "Read timed out");
  FailConnection("Connection lost");
}

}  // namespace sftp
