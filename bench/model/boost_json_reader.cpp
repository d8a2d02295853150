// Typed reading with Boost.JSON, written as its documentation shows: tag_invoke for each type, value_to for
// each member (which checks integers against their range). Documents are parsed by one reused parser into
// monotonic memory that starts in a reused buffer, the library's advice for documents read and dropped.
#include <boost/json/monotonic_resource.hpp>
#include <boost/json/parser.hpp>
#include <boost/json/value.hpp>
#include <boost/json/value_to.hpp>

#include <optional>

#include "peer_readers.h"

namespace tessaly::model {
namespace {

namespace json = boost::json;

template <class T>
T required(const json::object& o, std::string_view key) {
  return json::value_to<T>(o.at(key));  // throws when missing, null or of another JSON type
}

template <class T>
void optional(const json::object& o, std::string_view key, std::optional<T>& out) {
  const json::value* found = o.if_contains(key);
  if (found == nullptr || found->is_null()) {
    out.reset();
  } else {
    out = json::value_to<T>(*found);
  }
}

template <ModelEnum E>
E enumeration(const json::value& v) {
  const json::string& wire = v.as_string();
  return bench::enumFromWire<E>(std::string_view(wire.data(), wire.size()));
}

std::string_view unionTag(const json::object& o) {
  const json::string& tag = o.at("type").as_string();
  return {tag.data(), tag.size()};
}

}  // namespace

CoreElementType tag_invoke(json::value_to_tag<CoreElementType>, const json::value& v) {
  return enumeration<CoreElementType>(v);
}
CoreAutofilledBy tag_invoke(json::value_to_tag<CoreAutofilledBy>, const json::value& v) {
  return enumeration<CoreAutofilledBy>(v);
}
CoreKeyType tag_invoke(json::value_to_tag<CoreKeyType>, const json::value& v) { return enumeration<CoreKeyType>(v); }
CoreKeyAlgorithm tag_invoke(json::value_to_tag<CoreKeyAlgorithm>, const json::value& v) {
  return enumeration<CoreKeyAlgorithm>(v);
}
CoreKeyOp tag_invoke(json::value_to_tag<CoreKeyOp>, const json::value& v) { return enumeration<CoreKeyOp>(v); }

CoreNmAccountDetails tag_invoke(json::value_to_tag<CoreNmAccountDetails>, const json::value& v) {
  const json::object& o = v.as_object();
  CoreNmAccountDetails d;
  d.accountUuid = required<std::string>(o, "accountUuid");
  d.accountName = required<std::string>(o, "accountName");
  d.userVersion = required<std::uint32_t>(o, "userVersion");
  d.email = required<std::string>(o, "email");
  d.server = required<std::string>(o, "server");
  d.signInAddress = required<std::string>(o, "signInAddress");
  d.userUuid = required<std::string>(o, "userUuid");
  return d;
}

CoreJwk tag_invoke(json::value_to_tag<CoreJwk>, const json::value& v) {
  const json::object& o = v.as_object();
  CoreJwk k;
  optional(o, "kty", k.kty);
  k.kid = required<std::string>(o, "kid");
  optional(o, "alg", k.alg);
  optional(o, "k", k.k);
  optional(o, "ext", k.ext);
  optional(o, "key_ops", k.key_ops);
  return k;
}

CoreNmFullAccountDetails tag_invoke(json::value_to_tag<CoreNmFullAccountDetails>, const json::value& v) {
  const json::object& o = v.as_object();
  CoreNmFullAccountDetails d;
  d.details = required<CoreNmAccountDetails>(o, "details");
  d.secretKey = required<std::string>(o, "secretKey");
  d.muk = required<CoreJwk>(o, "muk");
  d.srpX = required<std::string>(o, "srpX");
  return d;
}

CoreNmAccount tag_invoke(json::value_to_tag<CoreNmAccount>, const json::value& v) {
  const json::object& o = v.as_object();
  const std::string_view tag = unionTag(o);
  if (tag == "Unlocked") return CoreNmAccount::unlocked(required<CoreNmFullAccountDetails>(o, "content"));
  if (tag == "Locked") return CoreNmAccount::locked(required<CoreNmAccountDetails>(o, "content"));
  throw bench::PeerReadError("Wrong type for CoreNmAccount");
}

CoreNmRequestAccountsResponse tag_invoke(json::value_to_tag<CoreNmRequestAccountsResponse>, const json::value& v) {
  return {required<std::vector<CoreNmAccount>>(v.as_object(), "accounts")};
}

CoreNmResponse tag_invoke(json::value_to_tag<CoreNmResponse>, const json::value& v) {
  const json::object& o = v.as_object();
  if (unionTag(o) != "NmRequestAccounts") throw bench::PeerReadError("Wrong type for CoreNmResponse");
  return CoreNmResponse::nmRequestAccounts(required<CoreNmRequestAccountsResponse>(o, "content"));
}

CoreNmhResponseSuccessInner tag_invoke(json::value_to_tag<CoreNmhResponseSuccessInner>, const json::value& v) {
  const json::object& o = v.as_object();
  return {required<std::uint64_t>(o, "callbackId"), required<CoreNmResponse>(o, "response")};
}

CoreNmhResponse tag_invoke(json::value_to_tag<CoreNmhResponse>, const json::value& v) {
  const json::object& o = v.as_object();
  if (unionTag(o) != "Success") throw bench::PeerReadError("Wrong type for CoreNmhResponse");
  return CoreNmhResponse::success(required<CoreNmhResponseSuccessInner>(o, "content"));
}

CoreField tag_invoke(json::value_to_tag<CoreField>, const json::value& v) {
  const json::object& o = v.as_object();
  CoreField f;
  optional(o, "autocompleteType", f.autocompleteType);
  optional(o, "formOpid", f.formOpid);
  optional(o, "htmlClass", f.htmlClass);
  optional(o, "htmlId", f.htmlId);
  optional(o, "htmlName", f.htmlName);
  optional(o, "isActive", f.isActive);
  optional(o, "isAriaDisabled", f.isAriaDisabled);
  optional(o, "isAriaHasPopup", f.isAriaHasPopup);
  optional(o, "isAriaHidden", f.isAriaHidden);
  optional(o, "isChecked", f.isChecked);
  optional(o, "isDisabled", f.isDisabled);
  optional(o, "isHidden", f.isHidden);
  optional(o, "isReadOnly", f.isReadOnly);
  optional(o, "isUserEdited", f.isUserEdited);
  optional(o, "autofilledBy", f.autofilledBy);
  optional(o, "label", f.label);
  optional(o, "labelAria", f.labelAria);
  optional(o, "labelData", f.labelData);
  optional(o, "labelBefore", f.labelBefore);
  optional(o, "labelAfter", f.labelAfter);
  optional(o, "maxLength", f.maxLength);
  optional(o, "minLength", f.minLength);
  f.opid = required<std::uint32_t>(o, "opid");
  optional(o, "placeholder", f.placeholder);
  optional(o, "selectOptions", f.selectOptions);
  optional(o, "tabIndex", f.tabIndex);
  optional(o, "title", f.title);
  f.type = required<CoreElementType>(o, "type");
  optional(o, "value", f.value);
  optional(o, "passwordRules", f.passwordRules);
  return f;
}

CoreForm tag_invoke(json::value_to_tag<CoreForm>, const json::value& v) {
  const json::object& o = v.as_object();
  CoreForm f;
  optional(o, "headerText", f.headerText);
  optional(o, "htmlAction", f.htmlAction);
  optional(o, "htmlId", f.htmlId);
  optional(o, "htmlMethod", f.htmlMethod);
  optional(o, "htmlName", f.htmlName);
  f.opid = required<std::uint32_t>(o, "opid");
  optional(o, "textContent", f.textContent);
  return f;
}

CoreFrame tag_invoke(json::value_to_tag<CoreFrame>, const json::value& v) {
  const json::object& o = v.as_object();
  CoreFrame f;
  optional(o, "direction", f.direction);
  f.fields = required<std::vector<CoreField>>(o, "fields");
  f.forms = required<std::vector<CoreForm>>(o, "forms");
  optional(o, "origin", f.origin);
  optional(o, "title", f.title);
  f.pathName = required<std::string>(o, "pathName");
  f.uuid = required<std::string>(o, "uuid");
  return f;
}

CoreCollectedPageDetails tag_invoke(json::value_to_tag<CoreCollectedPageDetails>, const json::value& v) {
  const json::object& o = v.as_object();
  CoreCollectedPageDetails p;
  p.frames = required<std::vector<CoreFrame>>(o, "frames");
  optional(o, "unparsedUrl", p.unparsedUrl);
  optional(o, "appId", p.appId);
  optional(o, "appName", p.appName);
  optional(o, "title", p.title);
  return p;
}

CoreNmCollectedPageDetailsRequest tag_invoke(json::value_to_tag<CoreNmCollectedPageDetailsRequest>,
                                             const json::value& v) {
  return {required<CoreCollectedPageDetails>(v.as_object(), "collectedPageDetails")};
}

CoreNmInvocation tag_invoke(json::value_to_tag<CoreNmInvocation>, const json::value& v) {
  const json::object& o = v.as_object();
  if (unionTag(o) != "NmCollectedPageDetails") throw bench::PeerReadError("Wrong type for CoreNmInvocation");
  return CoreNmInvocation::nmCollectedPageDetails(required<CoreNmCollectedPageDetailsRequest>(o, "content"));
}

CoreNmhRequest tag_invoke(json::value_to_tag<CoreNmhRequest>, const json::value& v) {
  const json::object& o = v.as_object();
  return {required<std::uint64_t>(o, "callbackId"), required<CoreNmInvocation>(o, "invocation")};
}

}  // namespace tessaly::model

namespace tessaly::bench {

namespace {
constexpr std::size_t kFirstBlock = 4 << 20;  // room for the larger document's values
}  // namespace

struct BoostJsonReader::Impl {
  boost::json::parser parser;
  std::unique_ptr<unsigned char[]> firstBlock = std::make_unique<unsigned char[]>(kFirstBlock);
};

BoostJsonReader::BoostJsonReader() : impl_(std::make_unique<Impl>()) {}
BoostJsonReader::~BoostJsonReader() = default;

template <class T>
T BoostJsonReader::read(std::string_view json) {
  boost::json::monotonic_resource memory(impl_->firstBlock.get(), kFirstBlock);
  impl_->parser.reset(&memory);
  impl_->parser.write(json.data(), json.size());  // throws on text that is not one JSON document
  const boost::json::value document = impl_->parser.release();
  return boost::json::value_to<T>(document);
}

template model::CoreNmhResponse BoostJsonReader::read<model::CoreNmhResponse>(std::string_view);
template model::CoreNmhRequest BoostJsonReader::read<model::CoreNmhRequest>(std::string_view);

}  // namespace tessaly::bench
