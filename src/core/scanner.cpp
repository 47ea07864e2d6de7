#include <cerrno>
#include <fcntl.h>
#include <string>

#include "line_reader.hpp"
#include "mutflank_core.hpp"
#include "record.hpp"
#include "unique_fd.hpp"
#include "utf8.hpp"

namespace mutflank {
namespace {

class CollectingSink final : public RowSink {
  public:
    bool add(std::string_view key, std::string_view context, bool /*ascii*/) override {
        rows.push_back(Row{std::string(key), std::string(context)});
        return true;
    }
    std::vector<Row> rows;
};

} // namespace

std::optional<Error> scan_file(std::string_view table_path, std::string_view root,
                               std::uint64_t half_width, RowSink& sink) {
    const std::string path(table_path);
    // A NUL would silently cut the path short.
    if (path.find('\0') != std::string::npos)
        return io_error(messages::open_table);
    int raw = -1;
    do {
        raw = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (raw < 0 && errno == EINTR);
    const UniqueFd fd{raw};
    if (!fd.valid())
        return io_error(messages::open_table);

    LineReader reader(fd.get());
    RecordBuilder builder(root, half_width);
    std::string_view line;
    for (;;) {
        switch (reader.next(line)) {
        case LineReader::Status::end:
            return std::nullopt;
        case LineReader::Status::error:
            return io_error(messages::read_line);
        case LineReader::Status::line:
            break;
        }
        const Utf8 text = check_utf8(line);
        if (text == Utf8::invalid)
            return io_error(messages::read_line);
        if (auto error = builder.add_line(line, text == Utf8::ascii, sink))
            return error;
    }
}

Result<std::vector<Row>> scan_file(std::string_view table_path, std::string_view root,
                                   std::uint64_t half_width) {
    CollectingSink sink;
    if (auto error = scan_file(table_path, root, half_width, sink))
        return *error;
    return std::move(sink.rows);
}

} // namespace mutflank
