#include "discovery.hpp"

#include <algorithm>
#include <string>
#include <unordered_set>
#include <utility>
#include <variant>

#include "import_module.hpp"
#include "py_str.hpp"
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

// name, load(), the provider call and validation for one entry point, with
// the name's text in `name` once read. The name and the provider's str are
// held until validation has copied what it keeps.
Result<BundleProvider> read_entry_point(PyObject* entry_point, std::string& name) {
  PyRef name_object = PyRef::steal(PyObject_GetAttrString(entry_point, "name"));
  if (!name_object) return take_pending();
  auto name_text = required_text(name_object.get());
  if (!name_text) return unexpected(std::move(name_text).error());
  name = *name_text;

  PyRef provider = PyRef::steal(PyObject_CallMethod(entry_point, "load", nullptr));
  if (!provider) return take_pending();
  PyRef returned = PyRef::steal(PyObject_CallNoArgs(provider.get()));
  if (!returned) return take_pending();
  auto text = required_text(returned.get());
  if (!text) return unexpected(std::move(text).error());

  auto record = validate_provider_metadata(name, *text);
  if (!record) return module_error(ErrorType::runtime_error, std::move(record).error());
  return std::move(*record);
}

// For the notes of a failure: entry point "NAME", with the distribution and
// version its provider claims when it was accepted. Nothing more is read from
// the entry point, so that nothing it runs can replace the failure reported.
std::string describe_entry_point(std::string_view name, const BundleProvider* record = nullptr) {
  std::string text = "entry point " + quoted(name);
  if (record != nullptr) {
    text += " (distribution " + quoted(record->distribution) + ", version " + quoted(record->bundle_version) + ")";
  }
  return text;
}

// The accepted record of `machine_id`.
const BundleProvider& accepted_record(const std::vector<BundleProvider>& accepted, std::string_view machine_id) {
  return *std::find_if(accepted.begin(), accepted.end(),
                       [&](const BundleProvider& record) { return record.machine_id == machine_id; });
}

}  // namespace

Result<std::vector<BundleProvider>> discover_providers() {
  auto metadata_module = import_module("importlib.metadata");
  if (!metadata_module) return unexpected(std::move(metadata_module).error());
  PyRef eps = PyRef::steal(PyObject_CallMethod(metadata_module->get(), "entry_points", nullptr));
  if (!eps) return take_pending();
  auto collection = select_group(std::move(eps));
  if (!collection) return unexpected(std::move(collection).error());
  return discover_providers_from(collection->get());
}

Result<std::vector<BundleProvider>> discover_providers_from(PyObject* entry_points) {
  PyRef iterator = PyRef::steal(PyObject_GetIter(entry_points));
  if (!iterator) return take_pending();

  std::vector<BundleProvider> accepted;
  std::unordered_set<std::string> seen;  // the machine identifiers in `accepted`
  for (;;) {
    PyObject* next = nullptr;
    int status = PyIter_NextItem(iterator.get(), &next);
    if (status < 0) return take_pending();
    if (status == 0) break;
    PyRef entry_point = PyRef::steal(next);

    std::string name;
    auto provider = read_entry_point(entry_point.get(), name);
    if (!provider) {
      // korvane's own verdicts on a bundle say which one and how to look closer.
      if (!std::holds_alternative<ModuleError>(provider.error()) || name.empty()) {
        return unexpected(std::move(provider).error());
      }
      return with_note(unexpected(std::move(provider).error()),
                       "in " + describe_entry_point(name) + "; run `korvane check " + name + "` for details");
    }
    if (!seen.insert(provider->machine_id).second) {
      const BundleProvider& first = accepted_record(accepted, provider->machine_id);
      return with_note(module_error(ErrorType::runtime_error, duplicate_machine_id_message(provider->machine_id)),
                       "advertised by " + describe_entry_point(first.entry_point, &first) + " and by " +
                           describe_entry_point(name, &*provider));
    }
    accepted.push_back(std::move(*provider));
  }

  std::stable_sort(accepted.begin(), accepted.end(),
                   [](const BundleProvider& a, const BundleProvider& b) { return a.machine_id < b.machine_id; });
  return accepted;
}

Result<PyRef> discover_bundles_listing() {
  auto providers = discover_providers();
  if (!providers) return unexpected(std::move(providers).error());
  return bundle_listing(*providers);
}

Result<PyRef> bundle_listing(const std::vector<BundleProvider>& providers) {
  return new_str(write_bundle_listing(providers));
}

}  // namespace korvane
