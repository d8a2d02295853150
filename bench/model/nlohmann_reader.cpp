// Typed reading with nlohmann::json, written as its documentation shows: from_json for each type, get_to for
// each member; integers are checked against their field's range, which get_to alone does not do.
#include <nlohmann/json.hpp>

#include <limits>
#include <optional>
#include <type_traits>

#include "peer_readers.h"

namespace tessaly::model {
namespace {

using nlohmann::json;

template <class Int>
Int checkedInteger(const json& j) {
  if (j.is_number_unsigned()) {
    const auto v = j.get<std::uint64_t>();
    if (v > static_cast<std::uint64_t>(std::numeric_limits<Int>::max()))
      throw bench::PeerReadError("number does not fit");
    return static_cast<Int>(v);
  }
  if (!j.is_number_integer()) throw bench::PeerReadError("not an integer");
  const auto v = j.get<std::int64_t>();
  if constexpr (std::is_signed_v<Int>) {
    if (v < std::numeric_limits<Int>::min() || v > std::numeric_limits<Int>::max()) {
      throw bench::PeerReadError("number does not fit");
    }
  } else if (v < 0 || static_cast<std::uint64_t>(v) > std::numeric_limits<Int>::max()) {
    throw bench::PeerReadError("number does not fit");
  }
  return static_cast<Int>(v);
}

template <class T>
void readValue(const json& j, T& out) {
  if constexpr (std::is_integral_v<T> && !std::is_same_v<T, bool>) {
    out = checkedInteger<T>(j);
  } else {
    j.get_to(out);  // throws on a value of another JSON type, null included
  }
}

template <class T>
void required(const json& j, const char* key, T& out) {
  readValue(j.at(key), out);
}

template <class T>
void optional(const json& j, const char* key, std::optional<T>& out) {
  const auto found = j.find(key);
  if (found == j.end() || found->is_null()) {
    out.reset();
  } else {
    readValue(*found, out.emplace());
  }
}

const std::string& unionTag(const json& j) { return j.at("type").get_ref<const std::string&>(); }

}  // namespace

void from_json(const json& j, CoreElementType& e) {
  e = bench::enumFromWire<CoreElementType>(j.get_ref<const std::string&>());
}
void from_json(const json& j, CoreAutofilledBy& e) {
  e = bench::enumFromWire<CoreAutofilledBy>(j.get_ref<const std::string&>());
}
void from_json(const json& j, CoreKeyType& e) { e = bench::enumFromWire<CoreKeyType>(j.get_ref<const std::string&>()); }
void from_json(const json& j, CoreKeyAlgorithm& e) {
  e = bench::enumFromWire<CoreKeyAlgorithm>(j.get_ref<const std::string&>());
}
void from_json(const json& j, CoreKeyOp& e) { e = bench::enumFromWire<CoreKeyOp>(j.get_ref<const std::string&>()); }

void from_json(const json& j, CoreNmAccountDetails& d) {
  required(j, "accountUuid", d.accountUuid);
  required(j, "accountName", d.accountName);
  required(j, "userVersion", d.userVersion);
  required(j, "email", d.email);
  required(j, "server", d.server);
  required(j, "signInAddress", d.signInAddress);
  required(j, "userUuid", d.userUuid);
}

void from_json(const json& j, CoreJwk& k) {
  optional(j, "kty", k.kty);
  required(j, "kid", k.kid);
  optional(j, "alg", k.alg);
  optional(j, "k", k.k);
  optional(j, "ext", k.ext);
  optional(j, "key_ops", k.key_ops);
}

void from_json(const json& j, CoreNmFullAccountDetails& d) {
  required(j, "details", d.details);
  required(j, "secretKey", d.secretKey);
  required(j, "muk", d.muk);
  required(j, "srpX", d.srpX);
}

void from_json(const json& j, CoreNmAccount& a) {
  const std::string& tag = unionTag(j);
  if (tag == "Unlocked") {
    a = CoreNmAccount::unlocked(j.at("content").get<CoreNmFullAccountDetails>());
  } else if (tag == "Locked") {
    a = CoreNmAccount::locked(j.at("content").get<CoreNmAccountDetails>());
  } else {
    throw bench::PeerReadError("Wrong type for CoreNmAccount");
  }
}

void from_json(const json& j, CoreNmRequestAccountsResponse& r) { required(j, "accounts", r.accounts); }

void from_json(const json& j, CoreNmResponse& r) {
  if (unionTag(j) != "NmRequestAccounts") throw bench::PeerReadError("Wrong type for CoreNmResponse");
  r = CoreNmResponse::nmRequestAccounts(j.at("content").get<CoreNmRequestAccountsResponse>());
}

void from_json(const json& j, CoreNmhResponseSuccessInner& s) {
  required(j, "callbackId", s.callbackId);
  required(j, "response", s.response);
}

void from_json(const json& j, CoreNmhResponse& r) {
  if (unionTag(j) != "Success") throw bench::PeerReadError("Wrong type for CoreNmhResponse");
  r = CoreNmhResponse::success(j.at("content").get<CoreNmhResponseSuccessInner>());
}

void from_json(const json& j, CoreField& f) {
  optional(j, "autocompleteType", f.autocompleteType);
  optional(j, "formOpid", f.formOpid);
  optional(j, "htmlClass", f.htmlClass);
  optional(j, "htmlId", f.htmlId);
  optional(j, "htmlName", f.htmlName);
  optional(j, "isActive", f.isActive);
  optional(j, "isAriaDisabled", f.isAriaDisabled);
  optional(j, "isAriaHasPopup", f.isAriaHasPopup);
  optional(j, "isAriaHidden", f.isAriaHidden);
  optional(j, "isChecked", f.isChecked);
  optional(j, "isDisabled", f.isDisabled);
  optional(j, "isHidden", f.isHidden);
  optional(j, "isReadOnly", f.isReadOnly);
  optional(j, "isUserEdited", f.isUserEdited);
  optional(j, "autofilledBy", f.autofilledBy);
  optional(j, "label", f.label);
  optional(j, "labelAria", f.labelAria);
  optional(j, "labelData", f.labelData);
  optional(j, "labelBefore", f.labelBefore);
  optional(j, "labelAfter", f.labelAfter);
  optional(j, "maxLength", f.maxLength);
  optional(j, "minLength", f.minLength);
  required(j, "opid", f.opid);
  optional(j, "placeholder", f.placeholder);
  optional(j, "selectOptions", f.selectOptions);
  optional(j, "tabIndex", f.tabIndex);
  optional(j, "title", f.title);
  required(j, "type", f.type);
  optional(j, "value", f.value);
  optional(j, "passwordRules", f.passwordRules);
}

void from_json(const json& j, CoreForm& f) {
  optional(j, "headerText", f.headerText);
  optional(j, "htmlAction", f.htmlAction);
  optional(j, "htmlId", f.htmlId);
  optional(j, "htmlMethod", f.htmlMethod);
  optional(j, "htmlName", f.htmlName);
  required(j, "opid", f.opid);
  optional(j, "textContent", f.textContent);
}

void from_json(const json& j, CoreFrame& f) {
  optional(j, "direction", f.direction);
  required(j, "fields", f.fields);
  required(j, "forms", f.forms);
  optional(j, "origin", f.origin);
  optional(j, "title", f.title);
  required(j, "pathName", f.pathName);
  required(j, "uuid", f.uuid);
}

void from_json(const json& j, CoreCollectedPageDetails& p) {
  required(j, "frames", p.frames);
  optional(j, "unparsedUrl", p.unparsedUrl);
  optional(j, "appId", p.appId);
  optional(j, "appName", p.appName);
  optional(j, "title", p.title);
}

void from_json(const json& j, CoreNmCollectedPageDetailsRequest& r) {
  required(j, "collectedPageDetails", r.collectedPageDetails);
}

void from_json(const json& j, CoreNmInvocation& i) {
  if (unionTag(j) != "NmCollectedPageDetails") throw bench::PeerReadError("Wrong type for CoreNmInvocation");
  i = CoreNmInvocation::nmCollectedPageDetails(j.at("content").get<CoreNmCollectedPageDetailsRequest>());
}

void from_json(const json& j, CoreNmhRequest& r) {
  required(j, "callbackId", r.callbackId);
  required(j, "invocation", r.invocation);
}

}  // namespace tessaly::model

namespace tessaly::bench {

template <class T>
T readWithNlohmann(std::string_view json) {
  return nlohmann::json::parse(json).get<T>();
}

template model::CoreNmhResponse readWithNlohmann<model::CoreNmhResponse>(std::string_view);
template model::CoreNmhRequest readWithNlohmann<model::CoreNmhRequest>(std::string_view);

}  // namespace tessaly::bench
