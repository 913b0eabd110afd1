#include "discovery.hpp"

#include <algorithm>
#include <unordered_set>
#include <utility>

#include "interpreter.hpp"
#include "quoted.hpp"

namespace korvane {

namespace {

constexpr const char* kGroup = "korvane.machine_bundles";

// The UTF-8 text of a str, or the cast TypeError when the value is not one.
// The view points into the str's own UTF-8 form (for an ASCII str its
// characters themselves), so nothing is copied; it stays valid while the
// caller holds `value`.
Result<std::string_view> required_text(PyObject* value) {
  if (!PyUnicode_Check(value)) {
    auto message = cast_message(value, "str");
    if (!message) return unexpected(std::move(message).error());
    return module_error(ErrorType::type_error, std::move(*message));
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(value, &size);
  if (data == nullptr) return take_pending();
  return std::string_view(data, static_cast<std::size_t>(size));
}

// The collection to walk: eps.select(group=...) when eps has `select` (tested
// as hasattr does), otherwise eps itself.
Result<PyRef> select_group(PyRef&& eps) {
  PyRef keywords = PyRef::steal(PyDict_New());
  if (!keywords) return take_pending();
  PyRef group = PyRef::steal(PyUnicode_FromString(kGroup));
  if (!group) return take_pending();
  if (PyDict_SetItemString(keywords.get(), "group", group.get()) < 0) return take_pending();

  PyObject* probe = nullptr;
  int has_select = PyObject_GetOptionalAttrString(eps.get(), "select", &probe);
  const PyRef found = PyRef::steal(probe);  // only its presence counts: select is looked up again for the call
  if (has_select < 0) return take_pending();
  if (has_select == 0) return std::move(eps);

  PyRef select = PyRef::steal(PyObject_GetAttrString(eps.get(), "select"));
  if (!select) return take_pending();
  PyRef no_arguments = PyRef::steal(PyTuple_New(0));
  if (!no_arguments) return take_pending();
  PyRef selected = PyRef::steal(PyObject_Call(select.get(), no_arguments.get(), keywords.get()));
  if (!selected) return take_pending();
  return selected;
}

// name, load(), the provider call and validation for one entry point. The
// name and the provider's str are held until validation has copied what it
// keeps.
Result<JsonValue> read_entry_point(PyObject* entry_point) {
  PyRef name_object = PyRef::steal(PyObject_GetAttrString(entry_point, "name"));
  if (!name_object) return take_pending();
  auto name = required_text(name_object.get());
  if (!name) return unexpected(std::move(name).error());

  PyRef provider = PyRef::steal(PyObject_CallMethod(entry_point, "load", nullptr));
  if (!provider) return take_pending();
  PyRef returned = PyRef::steal(PyObject_CallNoArgs(provider.get()));
  if (!returned) return take_pending();
  auto text = required_text(returned.get());
  if (!text) return unexpected(std::move(text).error());

  auto metadata = validate_provider_metadata(*name, *text);
  if (!metadata) return module_error(ErrorType::runtime_error, std::move(metadata).error());
  return std::move(*metadata);
}

std::string_view machine_id_of(const JsonValue& metadata) {
  const JsonValue* member = metadata.as_object()->find("machine_id");
  return *member->as_string();
}

Result<PyRef> listing_text(std::vector<JsonValue>&& objects) {
  std::string text;
  write_json_text(JsonValue::array(std::move(objects)), text);
  return new_str(text);
}

}  // namespace

Result<std::vector<JsonValue>> discover_bundle_metadata() {
  auto metadata_module = import_module("importlib.metadata");
  if (!metadata_module) return unexpected(std::move(metadata_module).error());
  PyRef eps = PyRef::steal(PyObject_CallMethod(metadata_module->get(), "entry_points", nullptr));
  if (!eps) return take_pending();
  auto collection = select_group(std::move(eps));
  if (!collection) return unexpected(std::move(collection).error());
  PyRef iterator = PyRef::steal(PyObject_GetIter(collection->get()));
  if (!iterator) return take_pending();

  std::vector<JsonValue> accepted;
  std::unordered_set<std::string_view> seen;  // views into `accepted`, whose payloads never move
  for (;;) {
    PyObject* next = nullptr;
    int status = PyIter_NextItem(iterator.get(), &next);
    if (status < 0) return take_pending();
    if (status == 0) break;
    PyRef entry_point = PyRef::steal(next);

    auto metadata = read_entry_point(entry_point.get());
    if (!metadata) return unexpected(std::move(metadata).error());
    std::string_view machine_id = machine_id_of(*metadata);
    if (seen.contains(machine_id)) {
      return module_error(ErrorType::runtime_error,
                          "multiple bundle entry points advertise machine_id " + korvane::quoted(machine_id));
    }
    accepted.push_back(std::move(*metadata));
    seen.insert(machine_id_of(accepted.back()));
  }

  std::stable_sort(accepted.begin(), accepted.end(), [](const JsonValue& a, const JsonValue& b) {
    return machine_id_of(a) < machine_id_of(b);
  });
  return accepted;
}

Result<PyRef> discover_bundles_listing() {
  auto metadata = discover_bundle_metadata();
  if (!metadata) return unexpected(std::move(metadata).error());
  return listing_text(std::move(*metadata));
}

Result<std::vector<BundleProvider>> discover_providers() {
  auto metadata = discover_bundle_metadata();
  if (!metadata) return unexpected(std::move(metadata).error());
  std::vector<BundleProvider> providers;
  providers.reserve(metadata->size());
  for (JsonValue& object : *metadata) providers.push_back(bundle_provider_from_metadata(std::move(object)));
  return providers;
}

Result<PyRef> bundle_listing(const std::vector<BundleProvider>& providers) {
  std::vector<JsonValue> objects;
  objects.reserve(providers.size());
  for (const BundleProvider& provider : providers) objects.push_back(bundle_provider_to_json(provider));
  return listing_text(std::move(objects));
}

}  // namespace korvane
