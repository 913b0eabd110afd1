#include "discovery.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <unordered_map>
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

// An attribute's str text, or nothing when the object has no such str: the
// lookup's ordinary error is dropped, while KeyboardInterrupt and the other
// exceptions outside Exception stay raised and end the caller.
Result<std::optional<std::string>> optional_text(PyObject* object, const char* attribute) {
  PyRef value = PyRef::steal(PyObject_GetAttrString(object, attribute));
  if (value && PyUnicode_Check(value.get())) {
    Py_ssize_t size = 0;
    if (const char* data = PyUnicode_AsUTF8AndSize(value.get(), &size)) {
      return std::optional<std::string>(std::in_place, data, static_cast<std::size_t>(size));
    }
  }
  if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_Exception)) return take_pending();
  PyErr_Clear();
  return std::optional<std::string>();
}

// For the notes of a failure: entry point "NAME" (distribution DIST VERSION),
// the distribution's part where the entry point tells it.
Result<std::string> describe_entry_point(PyObject* entry_point, std::string_view name) {
  std::string text = "entry point " + quoted(name);
  PyRef distribution = PyRef::steal(PyObject_GetAttrString(entry_point, "dist"));
  if (!distribution) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return take_pending();
    PyErr_Clear();
    return text;
  }
  if (distribution.get() == Py_None) return text;
  auto distribution_name = optional_text(distribution.get(), "name");
  if (!distribution_name) return unexpected(std::move(distribution_name).error());
  auto version = optional_text(distribution.get(), "version");
  if (!version) return unexpected(std::move(version).error());
  if (*distribution_name) {
    text += " (distribution " + **distribution_name;
    if (*version) text += " " + **version;
    text += ")";
  }
  return text;
}

// The entry point name of the accepted record of `machine_id`.
std::string_view accepted_entry_point(const std::vector<BundleProvider>& accepted, std::string_view machine_id) {
  for (const BundleProvider& record : accepted)
    if (record.machine_id == machine_id) return record.entry_point;
  return {};
}

}  // namespace

Result<std::vector<BundleProvider>> discover_providers() {
  auto metadata_module = import_module("importlib.metadata");
  if (!metadata_module) return unexpected(std::move(metadata_module).error());
  PyRef eps = PyRef::steal(PyObject_CallMethod(metadata_module->get(), "entry_points", nullptr));
  if (!eps) return take_pending();
  auto collection = select_group(std::move(eps));
  if (!collection) return unexpected(std::move(collection).error());
  PyRef iterator = PyRef::steal(PyObject_GetIter(collection->get()));
  if (!iterator) return take_pending();

  std::vector<BundleProvider> accepted;
  // The entry point of each machine identifier in `accepted`, for the note
  // that names both sides of a clash.
  std::unordered_map<std::string, PyRef> seen;
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
      auto label = describe_entry_point(entry_point.get(), name);
      if (!label) return unexpected(std::move(label).error());
      return with_note(unexpected(std::move(provider).error()),
                       "in " + *label + "; run `korvane check " + name + "` for details");
    }
    auto [earlier, inserted] = seen.try_emplace(provider->machine_id, PyRef::borrow(entry_point.get()));
    if (!inserted) {
      auto first = describe_entry_point(earlier->second.get(), accepted_entry_point(accepted, provider->machine_id));
      if (!first) return unexpected(std::move(first).error());
      auto second = describe_entry_point(entry_point.get(), name);
      if (!second) return unexpected(std::move(second).error());
      return with_note(module_error(ErrorType::runtime_error, duplicate_machine_id_message(provider->machine_id)),
                       "advertised by " + *first + " and by " + *second);
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
