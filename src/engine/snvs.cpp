// SnvCounter: the core's counter of SNVs (snv_counter.hpp) for counting/snvs.py, and the VCF
// scanner's batches split into the SNVs it counts and the rows handed to Python.
#include "numpy.hpp"

#include <algorithm>
#include <cstring>
#include <deque>
#include <limits>
#include <map>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "allele_class.hpp"
#include "columns.hpp"
#include "errors.hpp"
#include "heap_type.hpp"
#include "snv_counter.hpp"
#include "snvs.hpp"
#include "vcf_batch.hpp"

namespace mutflank::engine {
using py::Ref;
namespace {

constexpr const char* type_doc =
    "SnvCounter(flanks, hold, omitted)\n\n"
    "Counts the SNVs of VCF inputs where they are read (VcfScanner.next_counted): each is\n"
    "looked up, checked against the reference, merged with its neighbours into doublets as\n"
    "doublets.Merger does (holding up to `hold` SNVs of an input before it streams) and\n"
    "counted in one matrix per flank of `flanks` (1: SBS96, 2: SBS1536). `omitted`: by allele\n"
    "class (AlleleClass, of the alleles trimmed), the number of the reason its records are\n"
    "left out with, counted here, or -1: the records are handed back.\n\n"
    "next_counted's batch dict holds, beside the other rows' columns: 'snv_samples' (the\n"
    "samples, as indexes into the scanner's taken columns, that carry an SNV, in the order met),\n"
    "'snv_records' (SNV records looked up), 'snv_missing' [(reason, chromosome, records)] of\n"
    "chromosomes with no reference file, 'snv_left_out' [(0 past the end | 1 REF differs,\n"
    "chromosome, records)], 'snv_ref' (REF bases compared, differing, the first differing\n"
    "as (line, chromosome, position, REF, reference base) or None) and 'snv_omitted'\n"
    "[(reason number of `omitted`, chromosome, records)].\n"
    "add_place(number, path, length): a reference file. feed_part(index, rows): holds the SNVs\n"
    "of the input's oldest batch not fed yet, row rows[s] for the sample s. feed_snvs(index,\n"
    "rows, chromosomes, places, positions, refs, alts, phases, lines, weights): holds SNVs\n"
    "checked by the caller. step(index, final, counts): merges and counts (see the core) into\n"
    "`counts`, a list of one int64 matrix (rows x channels) per flank; returns a dict:\n"
    "'doublets' (None, or columns row, chromosome, position, ref, alt, line, phase, weight,\n"
    "place), 'lost' [(0 multi-base | 1 duplicate, chromosome, records)], 'unplaced' (None, or\n"
    "columns chromosome, weight and codes: one per flank), 'counted', 'singles', and\n"
    "'unsorted' (None, or (line, chromosome, position, row) of an SNV out of order).";

// What the counter knows of the chromosomes of one input: a number per name, the name as
// str, and its reference file or the reason it has none.
struct InputNames {
    std::unordered_map<std::string, std::uint32_t> codes;
    std::vector<Ref> names;
    std::vector<std::int64_t> places; // -1: no file (see reasons), -2: not looked up
    std::vector<Ref> reasons;
};

struct State {
    SnvCounter counter;
    // By AlleleClass: the number of the reason the records of that class are left out with
    // (counted here, not handed to Python), or -1 to hand them to Python.
    std::vector<int> omitted;
    std::unordered_map<std::int64_t, InputNames> inputs;
    std::unordered_map<std::int64_t, std::deque<std::vector<Snv>>> parts;
};

struct CounterObject {
    PyObject_HEAD
    State* state; // owned
};

PyTypeObject* counter_type = nullptr; // borrowed from the module

CounterObject* counter_of(PyObject* object) {
    if (counter_type == nullptr || !PyObject_TypeCheck(object, counter_type)) {
        PyErr_SetString(PyExc_TypeError, "an SnvCounter is needed");
        return nullptr;
    }
    auto* self = reinterpret_cast<CounterObject*>(object);
    if (self->state == nullptr) {
        PyErr_SetString(PyExc_ValueError, "SnvCounter: not initialised");
        return nullptr;
    }
    return self;
}

// The number of `name` among the input's chromosomes (new ones not looked up).
std::uint32_t code_of(InputNames& names, std::string_view name, PyObject* text) {
    const auto found = names.codes.find(std::string(name));
    if (found != names.codes.end())
        return found->second;
    const auto code = static_cast<std::uint32_t>(names.names.size());
    names.codes.emplace(std::string(name), code);
    names.names.push_back(py::new_ref(text));
    names.places.push_back(-2);
    names.reasons.emplace_back();
    return code;
}

// Looks up chromosome `code` with `lookup` unless done; false with an exception set.
bool look_up(InputNames& names, std::uint32_t code, PyObject* lookup) {
    if (names.places[code] != -2)
        return true;
    Ref found{PyObject_CallOneArg(lookup, names.names[code].get())};
    if (!found)
        return false;
    if (PyUnicode_Check(found.get())) {
        names.places[code] = -1;
        names.reasons[code] = std::move(found);
        return true;
    }
    const long long place = PyLong_AsLongLong(found.get());
    if (place == -1 && PyErr_Occurred())
        return false;
    if (place < 0 || place > std::numeric_limits<std::uint32_t>::max()) {
        PyErr_SetString(PyExc_ValueError, "lookup: a place beyond 0 .. 2^32 - 1");
        return false;
    }
    names.places[code] = place;
    return true;
}

// Row `i` of `from` (and its carriers) added to `to`, which has the same names.
void copy_row(const VcfBatch& from, std::size_t i, VcfBatch& to) {
    to.line.push_back(from.line[i]);
    to.chromosome.push_back(from.chromosome[i]);
    to.position.push_back(from.position[i]);
    to.ref.add(from.ref.at(i));
    to.alt.add(from.alt.at(i));
    if (from.texts) {
        to.filter.add(from.filter.at(i));
        to.id.add(from.id.at(i));
    }
    to.passed.push_back(from.passed[i]);
    const auto first = static_cast<std::ptrdiff_t>(from.carrier_start[i]);
    const auto last = static_cast<std::ptrdiff_t>(from.carrier_start[i + 1]);
    to.carrier_sample.insert(to.carrier_sample.end(), from.carrier_sample.begin() + first,
                             from.carrier_sample.begin() + last);
    to.carrier_copies.insert(to.carrier_copies.end(), from.carrier_copies.begin() + first,
                             from.carrier_copies.begin() + last);
    to.carrier_phase.insert(to.carrier_phase.end(), from.carrier_phase.begin() + first,
                            from.carrier_phase.begin() + last);
    to.carrier_start.push_back(to.carrier_sample.size());
}

// Counts by (kind, chromosome code), in the order first met.
struct Tallies {
    std::map<std::pair<int, std::uint32_t>, std::int64_t> counts;
    std::vector<std::pair<int, std::uint32_t>> order;
    void add(int kind, std::uint32_t chromosome, std::int64_t count) {
        auto [at, fresh] = counts.try_emplace({kind, chromosome}, 0);
        at->second += count;
        if (fresh)
            order.emplace_back(kind, chromosome);
    }
    // [(kind, chromosome name, count)], the kind as `kinds(kind)` gives it (a new reference).
    template <class Kind> Ref list(const InputNames& names, Kind&& kinds) const {
        Ref list{PyList_New(0)};
        if (!list)
            return list;
        for (const auto& key : order) {
            Ref kind{kinds(key.first, key.second)};
            Ref item{kind ? Py_BuildValue("(OOL)", kind.get(), names.names[key.second].get(),
                                          static_cast<long long>(counts.at(key)))
                          : nullptr};
            if (!item || PyList_Append(list.get(), item.get()) != 0)
                return nullptr;
        }
        return list;
    }
};

Ref int_of(long long value) { return Ref{PyLong_FromLongLong(value)}; }

} // namespace

PyObject* counted_batch(const VcfBatch& batch, PyObject* object, std::int64_t index,
                        PyObject* lookup) noexcept {
    CounterObject* self = counter_of(object);
    if (self == nullptr)
        return nullptr;
    try {
        State& state = *self->state;
        InputNames& names = state.inputs[index];
        VcfBatch rest;
        rest.names = batch.names;
        rest.texts = batch.texts;
        rest.left_out = batch.left_out;
        std::vector<std::int64_t> codes(batch.names.size(), -1); // the batch's names' codes
        std::vector<std::int64_t> samples;                      // in the order met
        std::vector<std::uint8_t> seen;
        std::vector<Snv> sites; // one per record line: its carriers share the check
        std::vector<std::size_t> site_rows;
        sites.reserve(batch.rows());
        site_rows.reserve(batch.rows());
        Tallies missing;
        Tallies left_out;
        Tallies omitted;
        std::uint64_t records = 0;
        for (std::size_t i = 0; i < batch.rows(); ++i) {
            const auto changed = single_changed_base(batch.ref.at(i), batch.alt.at(i));
            int omit = -1; // the reason number of a record of a class left out here
            if (!changed) {
                const auto shape = static_cast<std::size_t>(
                    trimmed_allele_class(batch.ref.at(i), batch.alt.at(i)));
                omit = shape < state.omitted.size() ? state.omitted[shape] : -1;
                if (omit < 0) {
                    copy_row(batch, i, rest);
                    continue;
                }
            }
            const std::uint32_t name = batch.chromosome[i];
            if (codes[name] < 0) {
                const std::string& text = batch.names[name];
                Ref str = text_of(text);
                if (!str)
                    return nullptr;
                codes[name] = code_of(names, text, str.get());
            }
            const auto code = static_cast<std::uint32_t>(codes[name]);
            const std::uint64_t first = batch.carrier_start[i];
            const std::uint64_t last = batch.carrier_start[i + 1];
            for (std::uint64_t k = first; k < last; ++k) {
                const std::uint32_t sample = batch.carrier_sample[k];
                if (sample >= seen.size())
                    seen.resize(sample + 1, 0);
                if (!seen[sample]) {
                    seen[sample] = 1;
                    samples.push_back(sample);
                }
            }
            if (omit >= 0) {
                omitted.add(omit, code, static_cast<std::int64_t>(last - first));
                continue;
            }
            records += last - first;
            if (!look_up(names, code, lookup))
                return nullptr;
            const std::int64_t place = names.places[code];
            if (place < 0) {
                missing.add(0, code, static_cast<std::int64_t>(last - first));
                continue;
            }
            const std::uint64_t position = batch.position[i] + changed->offset;
            if (position < batch.position[i] ||
                position > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
                left_out.add(0, code, static_cast<std::int64_t>(last - first));
                continue;
            }
            Snv& site = sites.emplace_back();
            site.chromosome = code;
            site.place = static_cast<std::uint32_t>(place);
            site.position = static_cast<std::int64_t>(position);
            site.line = static_cast<std::int64_t>(batch.line[i]);
            site.ref = changed->ref;
            site.alt = changed->alt;
            site_rows.push_back(i);
        }
        // The REF check, the reference read once for it and the channels.
        std::vector<SnvCheck> checks(sites.size());
        std::optional<Error> error;
        if (!run_released([&] { error = state.counter.check(sites, checks); }))
            return PyErr_NoMemory();
        if (error)
            return raise(*error);
        std::vector<Snv> snvs;
        snvs.reserve(records + 4096); // room for the SNVs kept back, put in front when fed
        std::uint64_t compared = 0;
        std::uint64_t differing = 0;
        const Snv* first_differing = nullptr;
        for (std::size_t s = 0; s < sites.size(); ++s) {
            const Snv& site = sites[s];
            const std::size_t i = site_rows[s];
            const std::uint64_t first = batch.carrier_start[i];
            const std::uint64_t last = batch.carrier_start[i + 1];
            const auto carriers = static_cast<std::int64_t>(last - first);
            if (checks[s] == SnvCheck::past_end) {
                left_out.add(0, site.chromosome, carriers);
                continue;
            }
            compared += last - first;
            if (checks[s] == SnvCheck::differs) {
                differing += last - first;
                left_out.add(1, site.chromosome, carriers);
                if (first_differing == nullptr || site.line < first_differing->line)
                    first_differing = &site;
                continue;
            }
            for (std::uint64_t k = first; k < last; ++k) {
                Snv& snv = snvs.emplace_back(site);
                snv.sample = batch.carrier_sample[k];
                snv.phase = batch.carrier_phase[k];
            }
        }
        Ref first = py::new_ref(Py_None);
        if (first_differing != nullptr) {
            static constexpr char letters[] = "ACGTN -";
            const std::int16_t byte = read_byte(first_differing->window[max_snv_flank]);
            const int base = byte < 0 ? 6 : byte < 16 ? (byte & 3) : byte < 20 ? 4 : 5;
            first = Ref{Py_BuildValue("(LOLCC)", static_cast<long long>(first_differing->line),
                                      names.names[first_differing->chromosome].get(),
                                      static_cast<long long>(first_differing->position),
                                      first_differing->ref, letters[base])};
            if (!first)
                return nullptr;
        }
        Ref dict{batch_dict(rest)};
        if (!dict)
            return nullptr;
        Ref reasons = missing.list(names, [&names](int, std::uint32_t code) {
            return py::new_ref(names.reasons[code].get());
        });
        Ref lost = reasons ? left_out.list(names, [](int kind, std::uint32_t) {
            return int_of(kind);
        })
                           : nullptr;
        Ref left_apart = lost ? omitted.list(names, [](int kind, std::uint32_t) {
            return int_of(kind);
        })
                              : nullptr;
        Ref ref = left_apart ? Ref{Py_BuildValue("(KKO)", static_cast<unsigned long long>(compared),
                                           static_cast<unsigned long long>(differing),
                                           first.get())}
                       : nullptr;
        if (!ref || !put(dict.get(), "snv_samples", array_of(samples, NPY_INT64)) ||
            !put(dict.get(), "snv_records", Ref{PyLong_FromUnsignedLongLong(records)}) ||
            !put(dict.get(), "snv_missing", std::move(reasons)) ||
            !put(dict.get(), "snv_left_out", std::move(lost)) ||
            !put(dict.get(), "snv_ref", std::move(ref)) ||
            !put(dict.get(), "snv_omitted", std::move(left_apart)))
            return nullptr;
        state.parts[index].push_back(std::move(snvs));
        return dict.release();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

namespace {

// column_of with this type's message.
Ref column(PyObject* object, int type, npy_intp count) {
    return engine::column_of(object, type, count, "SnvCounter: columns of different lengths");
}

npy_intp length_of(const Ref& array) {
    return PyArray_DIM(reinterpret_cast<PyArrayObject*>(array.get()), 0);
}

void counter_dealloc(PyObject* object) noexcept {
    auto* self = reinterpret_cast<CounterObject*>(object);
    delete self->state;
    self->state = nullptr;
    free_object(object);
}

int counter_init(PyObject* object, PyObject* args, PyObject* /*kwargs*/) noexcept {
    PyObject* flank_list = nullptr;
    Py_ssize_t hold = 0;
    PyObject* omitted_list = nullptr;
    if (!PyArg_ParseTuple(args, "OnO:SnvCounter", &flank_list, &hold, &omitted_list))
        return -1;
    Ref omitted_items{PySequence_Fast(omitted_list, "SnvCounter: omitted must be a sequence")};
    if (!omitted_items)
        return -1;
    Ref items{PySequence_Fast(flank_list, "SnvCounter: flanks must be a sequence")};
    if (!items)
        return -1;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
    if (hold < 0 || count > static_cast<Py_ssize_t>(SnvCounter::max_snv_kinds)) {
        PyErr_SetString(PyExc_ValueError, "SnvCounter: a negative hold, or too many flanks");
        return -1;
    }
    try {
        std::vector<int> flanks;
        for (Py_ssize_t i = 0; i < count; ++i) {
            const long flank = PyLong_AsLong(PySequence_Fast_GET_ITEM(items.get(), i));
            if (flank == -1 && PyErr_Occurred())
                return -1;
            if (flank < 1 || flank > max_snv_flank) {
                PyErr_SetString(PyExc_ValueError, "SnvCounter: a flank beyond 1 .. 2");
                return -1;
            }
            flanks.push_back(static_cast<int>(flank));
        }
        std::vector<int> omitted;
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(omitted_items.get()); ++i) {
            const long reason = PyLong_AsLong(PySequence_Fast_GET_ITEM(omitted_items.get(), i));
            if (reason == -1 && PyErr_Occurred())
                return -1;
            omitted.push_back(reason < 0 ? -1 : static_cast<int>(std::min(reason, 1L << 20)));
        }
        auto* self = reinterpret_cast<CounterObject*>(object);
        delete self->state;
        self->state = nullptr;
        self->state = new State{SnvCounter(std::move(flanks), static_cast<std::size_t>(hold)),
                                std::move(omitted), {}, {}};
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
    return 0;
}

PyObject* add_place(PyObject* object, PyObject* args) noexcept {
    CounterObject* self = counter_of(object);
    unsigned int number = 0;
    const char* path = nullptr;
    Py_ssize_t size = 0;
    unsigned long long length = 0;
    if (self == nullptr || !PyArg_ParseTuple(args, "Iy#K:add_place", &number, &path, &size,
                                             &length))
        return nullptr;
    try {
        self->state->counter.add_place(number, std::string(path, static_cast<std::size_t>(size)),
                                       length);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    Py_RETURN_NONE;
}

PyObject* feed_part(PyObject* object, PyObject* args) noexcept {
    CounterObject* self = counter_of(object);
    long long index = 0;
    PyObject* row_object = nullptr;
    if (self == nullptr || !PyArg_ParseTuple(args, "LO:feed_part", &index, &row_object))
        return nullptr;
    auto found = self->state->parts.find(index);
    if (found == self->state->parts.end() || found->second.empty()) {
        PyErr_SetString(PyExc_ValueError, "feed_part: no batch of this input waits");
        return nullptr;
    }
    Ref rows = column(row_object, NPY_INT64, -1);
    if (!rows)
        return nullptr;
    std::vector<Snv> snvs = std::move(found->second.front());
    found->second.pop_front();
    try {
        if (!self->state->counter.feed(
                index, std::move(snvs),
                {data_of<std::int64_t>(rows.get()), static_cast<std::size_t>(length_of(rows))})) {
            PyErr_SetString(PyExc_ValueError, "feed_part: a sample without a row");
            return nullptr;
        }
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    Py_RETURN_NONE;
}

// The first letter of a str of one ASCII letter (an SNV's allele), or 0 with an exception set.
char letter_of(PyObject* text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_Check(text) ? PyUnicode_AsUTF8AndSize(text, &size) : nullptr;
    if (data == nullptr || size != 1) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_ValueError, "feed_snvs: an allele of more than one base");
        return 0;
    }
    return data[0];
}

PyObject* feed_snvs(PyObject* object, PyObject* args) noexcept {
    CounterObject* self = counter_of(object);
    long long index = 0;
    PyObject* given[9] = {};
    if (self == nullptr ||
        !PyArg_ParseTuple(args, "LOOOOOOOOO:feed_snvs", &index, &given[0], &given[1], &given[2],
                          &given[3], &given[4], &given[5], &given[6], &given[7], &given[8]))
        return nullptr;
    static constexpr int types[9] = {NPY_INT64, NPY_OBJECT, NPY_INT64, NPY_INT64, NPY_OBJECT,
                                     NPY_OBJECT, NPY_INT64, NPY_INT64, NPY_INT64};
    Ref columns[9];
    npy_intp count = -1;
    for (int c = 0; c < 9; ++c) {
        columns[c] = column(given[c], types[c], count);
        if (!columns[c])
            return nullptr;
        count = length_of(columns[c]);
    }
    try {
        InputNames& names = self->state->inputs[index];
        std::vector<Snv> snvs(static_cast<std::size_t>(count));
        auto** chromosomes = data_of<PyObject*>(columns[1].get());
        auto** refs = data_of<PyObject*>(columns[4].get());
        auto** alts = data_of<PyObject*>(columns[5].get());
        for (npy_intp i = 0; i < count; ++i) {
            Snv& snv = snvs[static_cast<std::size_t>(i)];
            const std::int64_t row = data_of<std::int64_t>(columns[0].get())[i];
            const std::int64_t place = data_of<std::int64_t>(columns[2].get())[i];
            if (row < 0 || place < 0 || !self->state->counter.has_place(
                                            static_cast<std::uint32_t>(place))) {
                PyErr_SetString(PyExc_ValueError, "feed_snvs: a row or place beyond the known");
                return nullptr;
            }
            Py_ssize_t size = 0;
            const char* name = PyUnicode_AsUTF8AndSize(chromosomes[i], &size);
            if (name == nullptr)
                return nullptr;
            snv.sample = static_cast<std::uint32_t>(row);
            snv.chromosome =
                code_of(names, std::string_view(name, static_cast<std::size_t>(size)),
                        chromosomes[i]);
            snv.place = static_cast<std::uint32_t>(place);
            snv.position = data_of<std::int64_t>(columns[3].get())[i];
            snv.ref = letter_of(refs[i]);
            snv.alt = snv.ref ? letter_of(alts[i]) : 0;
            if (snv.alt == 0)
                return nullptr;
            snv.phase = data_of<std::int64_t>(columns[6].get())[i];
            snv.line = data_of<std::int64_t>(columns[7].get())[i];
            const std::int64_t weight = data_of<std::int64_t>(columns[8].get())[i];
            if (weight < 0 || weight > 1) {
                PyErr_SetString(PyExc_ValueError, "feed_snvs: an SNV's weight beyond 0 .. 1");
                return nullptr;
            }
            snv.weight = static_cast<std::int8_t>(weight);
        }
        std::vector<SnvCheck> checks(snvs.size());
        std::optional<Error> error;
        if (!run_released([&] { error = self->state->counter.check(snvs, checks); }))
            return PyErr_NoMemory();
        if (error)
            return raise(*error);
        self->state->counter.feed_among(index, snvs);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    Py_RETURN_NONE;
}

// The columns of SNVs as Python wants them back.
Ref texts_of_letters(const std::vector<Snv>& firsts, const std::vector<Snv>& seconds,
                     bool ref) {
    Ref array = object_array(firsts.size());
    if (!array)
        return array;
    auto** slots = data_of<PyObject*>(array.get());
    for (std::size_t i = 0; i < firsts.size(); ++i) {
        const char pair[2] = {ref ? firsts[i].ref : firsts[i].alt,
                              ref ? seconds[i].ref : seconds[i].alt};
        PyObject* text = PyUnicode_FromStringAndSize(pair, 2);
        if (text == nullptr)
            return nullptr;
        Py_XDECREF(slots[i]);
        slots[i] = text;
    }
    return array;
}

Ref names_of(const std::vector<Snv>& snvs, const InputNames& names) {
    Ref array = object_array(snvs.size());
    if (!array)
        return array;
    auto** slots = data_of<PyObject*>(array.get());
    for (std::size_t i = 0; i < snvs.size(); ++i) {
        PyObject* name = names.names[snvs[i].chromosome].get();
        Py_INCREF(name);
        Py_XDECREF(slots[i]);
        slots[i] = name;
    }
    return array;
}

template <class Field> Ref int_column(const std::vector<Snv>& snvs, Field&& field) {
    std::vector<std::int64_t> values(snvs.size());
    std::transform(snvs.begin(), snvs.end(), values.begin(), field);
    return array_of(values, NPY_INT64);
}

Ref doublets_of(const SnvStep& step, const InputNames& names) {
    if (step.firsts.empty())
        return py::new_ref(Py_None);
    const auto& firsts = step.firsts;
    std::vector<std::uint64_t> positions(firsts.size());
    std::vector<std::int64_t> weights(firsts.size());
    for (std::size_t i = 0; i < firsts.size(); ++i) {
        positions[i] = static_cast<std::uint64_t>(firsts[i].position);
        weights[i] = firsts[i].weight + step.seconds[i].weight;
    }
    Ref dict{PyDict_New()};
    if (!dict || !put(dict.get(), "row", int_column(firsts, [](const Snv& s) {
            return static_cast<std::int64_t>(s.sample);
        })) ||
        !put(dict.get(), "chromosome", names_of(firsts, names)) ||
        !put(dict.get(), "position", array_of(positions, NPY_UINT64)) ||
        !put(dict.get(), "ref", texts_of_letters(firsts, step.seconds, true)) ||
        !put(dict.get(), "alt", texts_of_letters(firsts, step.seconds, false)) ||
        !put(dict.get(), "line", int_column(firsts, [](const Snv& s) { return s.line; })) ||
        !put(dict.get(), "phase", int_column(firsts, [](const Snv& s) { return s.phase; })) ||
        !put(dict.get(), "weight", array_of(weights, NPY_INT64)) ||
        !put(dict.get(), "place", int_column(firsts, [](const Snv& s) {
            return static_cast<std::int64_t>(s.place);
        })))
        return nullptr;
    return dict;
}

Ref unplaced_of(const SnvStep& step, const InputNames& names, std::size_t kinds) {
    if (step.unplaced.empty())
        return py::new_ref(Py_None);
    npy_intp dims[2] = {static_cast<npy_intp>(step.unplaced.size()),
                        static_cast<npy_intp>(kinds)};
    Ref codes{PyArray_SimpleNew(2, dims, NPY_INT64)};
    if (!codes)
        return codes;
    std::copy(step.unplaced_codes.begin(), step.unplaced_codes.end(),
              data_of<std::int64_t>(codes.get()));
    Ref dict{PyDict_New()};
    if (!dict || !put(dict.get(), "chromosome", names_of(step.unplaced, names)) ||
        !put(dict.get(), "weight",
             int_column(step.unplaced, [](const Snv& s) { return std::int64_t{s.weight}; })) ||
        !put(dict.get(), "codes", std::move(codes)))
        return nullptr;
    return dict;
}

PyObject* step(PyObject* object, PyObject* args) noexcept {
    CounterObject* self = counter_of(object);
    long long index = 0;
    int final = 0;
    PyObject* matrices = nullptr;
    Py_ssize_t rows = 0;
    if (self == nullptr ||
        !PyArg_ParseTuple(args, "LpO!n:step", &index, &final, &PyList_Type, &matrices, &rows))
        return nullptr;
    State& state = *self->state;
    const std::size_t kinds = state.counter.kinds();
    if (PyList_GET_SIZE(matrices) != static_cast<Py_ssize_t>(kinds) || rows < 0) {
        PyErr_SetString(PyExc_ValueError, "step: not one matrix per flank");
        return nullptr;
    }
    try {
        std::vector<std::span<std::int64_t>> counts;
        for (std::size_t k = 0; k < kinds; ++k) {
            auto* array = reinterpret_cast<PyArrayObject*>(
                PyList_GET_ITEM(matrices, static_cast<Py_ssize_t>(k)));
            const npy_intp channels = static_cast<npy_intp>(
                SnvCounter::channels_of(state.counter.flank(k)));
            if (!PyArray_Check(reinterpret_cast<PyObject*>(array)) ||
                PyArray_TYPE(array) != NPY_INT64 || PyArray_NDIM(array) != 2 ||
                !PyArray_IS_C_CONTIGUOUS(array) || !PyArray_ISWRITEABLE(array) ||
                PyArray_DIM(array, 0) < rows || PyArray_DIM(array, 1) != channels) {
                PyErr_SetString(PyExc_ValueError,
                                "step: a matrix that is not writable int64 rows x channels");
                return nullptr;
            }
            counts.emplace_back(static_cast<std::int64_t*>(PyArray_DATA(array)),
                                static_cast<std::size_t>(rows * channels));
        }
        std::optional<Result<SnvStep>> result;
        if (!run_released([&] {
                result.emplace(state.counter.step(index, final != 0, counts,
                                                  static_cast<std::size_t>(rows)));
            }))
            return PyErr_NoMemory();
        if (!result->ok())
            return raise(result->error());
        const SnvStep& done = result->value();
        InputNames& names = state.inputs[index];
        Tallies lost;
        for (const auto& item : done.lost)
            lost.add(item.reason == SnvLoss::multi_base ? 0 : 1, item.chromosome, item.weight);
        Ref lost_list = lost.list(names, [](int kind, std::uint32_t) { return int_of(kind); });
        Ref unsorted = py::new_ref(Py_None);
        if (done.unsorted) {
            const Snv& snv = *done.unsorted;
            unsorted = Ref{Py_BuildValue("(LOLL)", static_cast<long long>(snv.line),
                                         names.names[snv.chromosome].get(),
                                         static_cast<long long>(snv.position),
                                         static_cast<long long>(snv.sample))};
        }
        Ref doublets = unsorted ? doublets_of(done, names) : nullptr;
        Ref unplaced = doublets ? unplaced_of(done, names, kinds) : nullptr;
        Ref dict{lost_list && unplaced ? PyDict_New() : nullptr};
        if (!dict || !put(dict.get(), "doublets", std::move(doublets)) ||
            !put(dict.get(), "lost", std::move(lost_list)) ||
            !put(dict.get(), "unplaced", std::move(unplaced)) ||
            !put(dict.get(), "counted", Ref{PyLong_FromUnsignedLongLong(done.counted)}) ||
            !put(dict.get(), "singles", Ref{PyLong_FromUnsignedLongLong(done.singles)}) ||
            !put(dict.get(), "unsorted", std::move(unsorted)))
            return nullptr;
        if (final) {
            state.inputs.erase(index);
            state.parts.erase(index);
        }
        return dict.release();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyMethodDef counter_methods[] = {
    {"add_place", add_place, METH_VARARGS, "add_place(number, path, length): path as bytes"},
    {"feed_part", feed_part, METH_VARARGS, "feed_part(index, rows)"},
    {"feed_snvs", feed_snvs, METH_VARARGS,
     "feed_snvs(index, rows, chromosomes, places, positions, refs, alts, phases, lines, "
     "weights)"},
    {"step", step, METH_VARARGS, "step(index, final, counts, rows) -> dict"},
    {nullptr, nullptr, 0, nullptr},
};

} // namespace

bool add_snv_counter(PyObject* module) noexcept {
    if (!add_type(module, "mutflank_tools._engine.SnvCounter", sizeof(CounterObject), type_doc,
                  counter_init, counter_dealloc, counter_methods))
        return false;
    counter_type = reinterpret_cast<PyTypeObject*>(PyObject_GetAttrString(module, "SnvCounter"));
    if (counter_type == nullptr)
        return false;
    Py_DECREF(counter_type); // the module keeps it
    return true;
}

} // namespace mutflank::engine
