// StringSink growth and FileSink behaviour: buffer boundaries below, at and above
// 8192 bytes, flushing, opening, the fixed errors and OS errors, partial writes, and
// identical output through both sinks.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "test_tree.hpp"
#include "write/xml_writer.hpp"

namespace vorlane {
namespace {

using testing_support::children_of;
using testing_support::element;
using testing_support::TestElement;
using testing_support::TestTree;

// A file name in a fresh temporary directory, removed with the directory at the end.
class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/vorlane_sinks_XXXXXX";
        char* made = mkdtemp(pattern);
        if (made == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = made;
    }
    ~TempDir() {
        for (const std::string& file : created_) std::remove(file.c_str());
        rmdir(path_.c_str());
    }
    std::string file(const std::string& name) {
        created_.push_back(path_ + "/" + name);
        return created_.back();
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
    std::vector<std::string> created_;
};

std::string read_all(const std::string& path) {
    std::ifstream stream(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
}

long file_size(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) return -1;
    return static_cast<long>(info.st_size);
}

FileSink open_or_fail(const std::string& path) {
    Result<FileSink, IoError> opened = FileSink::open(path);
    if (!opened) throw std::runtime_error("open failed: " + std::string(std::strerror(opened.error().os_errno)));
    return std::move(opened).value();
}

// A piece of `size` bytes, all equal to `fill`, so pieces are told apart in the file.
std::string piece(std::size_t size, char fill) { return std::string(size, fill); }

TEST(StringSinkTest, GrowsToTwiceTheCapacityOrWhatIsNeededAtLeastEight) {
    StringSink sink;
    EXPECT_EQ(sink.capacity(), 0u);
    ASSERT_TRUE(sink.append("abc").ok());
    EXPECT_EQ(sink.capacity(), 8u);
    ASSERT_TRUE(sink.append("defgh").ok());
    EXPECT_EQ(sink.capacity(), 8u);
    ASSERT_TRUE(sink.append("i").ok());
    EXPECT_EQ(sink.capacity(), 16u);
    ASSERT_TRUE(sink.append(piece(40, 'z')).ok());
    EXPECT_EQ(sink.capacity(), 49u);
    ASSERT_TRUE(sink.append_spaces(3).ok());
    EXPECT_EQ(sink.capacity(), 98u);
    EXPECT_EQ(sink.view(), "abcdefghi" + piece(40, 'z') + "   ");
    EXPECT_EQ(sink.size(), 52u);
}

// Pieces of every length up to a few words, which take different copying paths,
// land exactly and never touch the bytes around them.
TEST(StringSinkTest, PiecesOfEveryShortLength) {
    std::string expected;
    StringSink sink;
    for (std::size_t length = 0; length <= 40; ++length) {
        std::string next;
        for (std::size_t index = 0; index < length; ++index) next += static_cast<char>('a' + (index + length) % 26);
        ASSERT_TRUE(sink.append(next).ok());
        ASSERT_TRUE(sink.append("|").ok());
        expected += next + "|";
        ASSERT_EQ(sink.view(), expected) << length;
    }
}

TEST(StringSinkTest, IndentationBeyondMemoryIsBadAlloc) {
    StringSink sink;
    ASSERT_TRUE(sink.append("x").ok());
    EXPECT_THROW((void)sink.append_spaces(UINT64_MAX), std::bad_alloc);
    EXPECT_EQ(sink.view(), "x");
}

struct AppendStep {
    std::size_t size;
    std::size_t buffered_after;
    long file_size_after;
};

struct BoundaryCase {
    const char* label;
    std::vector<AppendStep> steps;
};

class FileSinkBoundaryTest : public ::testing::TestWithParam<BoundaryCase> {};

TEST_P(FileSinkBoundaryTest, BuffersCopiesFlushesOrWritesDirectly) {
    TempDir dir;
    std::string path = dir.file("out.bin");
    std::string expected;
    {
        FileSink sink = open_or_fail(path);
        char fill = 'a';
        for (const AppendStep& step : GetParam().steps) {
            SCOPED_TRACE(step.size);
            std::string bytes = piece(step.size, fill++);
            expected += bytes;
            ASSERT_TRUE(sink.append(bytes).ok());
            EXPECT_EQ(sink.buffered_size(), step.buffered_after);
            EXPECT_EQ(file_size(path), step.file_size_after);
        }
        ASSERT_TRUE(sink.flush().ok());
        EXPECT_EQ(sink.buffered_size(), 0u);
    }
    EXPECT_EQ(read_all(path), expected);
}

std::string boundary_case_name(const ::testing::TestParamInfo<BoundaryCase>& info) { return info.param.label; }

INSTANTIATE_TEST_SUITE_P(
    Pieces, FileSinkBoundaryTest,
    ::testing::Values(
        BoundaryCase{"SmallPieceIsBuffered", {{100, 100, 0}}},
        BoundaryCase{"OneBelowCapacityIsBuffered", {{8191, 8191, 0}}},
        BoundaryCase{"ExactlyCapacityIntoEmptyBufferIsWrittenDirectly", {{8192, 0, 8192}}},
        BoundaryCase{"AboveCapacityIsWrittenDirectly", {{8193, 0, 8193}}},
        BoundaryCase{"PieceFillingTheFreeSpaceExactlyIsCopied", {{100, 100, 0}, {8092, 8192, 0}}},
        BoundaryCase{"PieceOneAboveTheFreeSpaceFlushesThenCopies", {{100, 100, 0}, {8093, 8093, 100}}},
        BoundaryCase{"LargePieceFlushesThenWritesDirectly", {{100, 100, 0}, {8192, 0, 8292}}},
        BoundaryCase{"FullBufferFlushesForTheNextByte", {{8191, 8191, 0}, {1, 8192, 0}, {1, 1, 8192}}},
        BoundaryCase{"ManySmallPieces",
                     {{3000, 3000, 0}, {3000, 6000, 0}, {3000, 3000, 6000}, {5192, 8192, 6000}, {0, 8192, 6000},
                      {10, 10, 14192}}}),
    boundary_case_name);

TEST(FileSinkTest, DropWritesOutWhatIsBuffered) {
    TempDir dir;
    std::string path = dir.file("dropped.txt");
    {
        FileSink sink = open_or_fail(path);
        ASSERT_TRUE(sink.append("kept on drop").ok());
        EXPECT_EQ(file_size(path), 0);
    }
    EXPECT_EQ(read_all(path), "kept on drop");
}

TEST(FileSinkTest, MoveTransfersTheDescriptorAndBuffer) {
    TempDir dir;
    std::string first_path = dir.file("first.txt");
    std::string second_path = dir.file("second.txt");
    {
        FileSink first = open_or_fail(first_path);
        ASSERT_TRUE(first.append("one").ok());
        FileSink second = open_or_fail(second_path);
        ASSERT_TRUE(second.append("two").ok());
        second = std::move(first);
        EXPECT_EQ(read_all(second_path), "two");
        EXPECT_EQ(first.fd(), -1);
        FileSink third(std::move(second));
        EXPECT_EQ(third.buffered_size(), 3u);
    }
    EXPECT_EQ(read_all(first_path), "one");
}

TEST(FileSinkTest, AppendSpacesGoesThroughTheBuffer) {
    TempDir dir;
    std::string path = dir.file("spaces.txt");
    {
        FileSink sink = open_or_fail(path);
        ASSERT_TRUE(sink.append("<").ok());
        ASSERT_TRUE(sink.append_spaces(20000).ok());
        ASSERT_TRUE(sink.append(">").ok());
    }
    EXPECT_EQ(read_all(path), "<" + std::string(20000, ' ') + ">");
}

TEST(FileSinkTest, OpenTruncatesAnExistingFile) {
    TempDir dir;
    std::string path = dir.file("existing.txt");
    {
        std::ofstream stream(path, std::ios::binary);
        stream << "a much longer previous content";
    }
    {
        FileSink sink = open_or_fail(path);
        EXPECT_EQ(file_size(path), 0);
        ASSERT_TRUE(sink.append("new").ok());
    }
    EXPECT_EQ(read_all(path), "new");
}

TEST(FileSinkTest, NewFileGetsMode0666LessTheUmaskAndCloseOnExec) {
    TempDir dir;
    std::string path = dir.file("mode.txt");
    mode_t previous = umask(027);
    Result<FileSink, IoError> opened = FileSink::open(path);
    umask(previous);
    ASSERT_TRUE(opened.ok());
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
    EXPECT_NE(fcntl(opened->fd(), F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_EQ(fcntl(opened->fd(), F_GETFL) & O_ACCMODE, O_WRONLY);
}

TEST(FileSinkTest, NulInPathFailsWithoutTouchingTheFileSystem) {
    TempDir dir;
    std::string before_nul = dir.file("name");
    std::string path = before_nul + std::string("\0tail", 5);
    Result<FileSink, IoError> opened = FileSink::open(path);
    ASSERT_FALSE(opened.ok());
    EXPECT_EQ(opened.error().os_errno, 0);
    EXPECT_STREQ(opened.error().message, "file name contained an unexpected NUL byte");
    EXPECT_EQ(file_size(before_nul), -1);
}

struct OpenErrorCase {
    const char* label;
    const char* suffix;  // appended to the temporary directory's path
    int expected_errno;
};

class FileSinkOpenErrorTest : public ::testing::TestWithParam<OpenErrorCase> {};

TEST_P(FileSinkOpenErrorTest, ReportsTheOsError) {
    TempDir dir;
    std::string blocker = dir.file("plain_file");
    { std::ofstream stream(blocker); }
    Result<FileSink, IoError> opened = FileSink::open(dir.path() + GetParam().suffix);
    ASSERT_FALSE(opened.ok());
    EXPECT_EQ(opened.error().os_errno, GetParam().expected_errno);
    EXPECT_EQ(opened.error().message, nullptr);
}

std::string open_error_name(const ::testing::TestParamInfo<OpenErrorCase>& info) { return info.param.label; }

INSTANTIATE_TEST_SUITE_P(Paths, FileSinkOpenErrorTest,
                         ::testing::Values(OpenErrorCase{"MissingDirectory", "/missing/out.xml", ENOENT},
                                           OpenErrorCase{"PathIsADirectory", "", EISDIR},
                                           OpenErrorCase{"ComponentIsAFile", "/plain_file/out.xml", ENOTDIR}),
                         open_error_name);

TEST(FileSinkTest, EmptyPathIsNotFound) {
    Result<FileSink, IoError> opened = FileSink::open("");
    ASSERT_FALSE(opened.ok());
    EXPECT_EQ(opened.error().os_errno, ENOENT);
}

// /dev/full accepts the open and fails every write with ENOSPC.
TEST(FileSinkTest, DeviceFullFailsOnFlushAndOnDirectWrite) {
    FileSink sink = open_or_fail("/dev/full");
    ASSERT_TRUE(sink.append(piece(100, 'a')).ok());
    Result<void, IoError> flushed = sink.flush();
    ASSERT_FALSE(flushed.ok());
    EXPECT_EQ(flushed.error().os_errno, ENOSPC);
    EXPECT_EQ(flushed.error().message, nullptr);
    EXPECT_EQ(sink.buffered_size(), 100u);

    Result<void, IoError> overflowing = sink.append(piece(8093, 'b'));
    ASSERT_FALSE(overflowing.ok());
    EXPECT_EQ(overflowing.error().os_errno, ENOSPC);
    EXPECT_EQ(sink.buffered_size(), 100u);

    FileSink empty = open_or_fail("/dev/full");
    Result<void, IoError> direct = empty.append(piece(9000, 'c'));
    ASSERT_FALSE(direct.ok());
    EXPECT_EQ(direct.error().os_errno, ENOSPC);
    EXPECT_EQ(empty.buffered_size(), 0u);
}

// A non-blocking pipe with a one-page capacity takes part of a flush and then fails
// with EAGAIN: the written part leaves the buffer, the rest stays in order.
TEST(FileSinkTest, PartialFlushRemovesOnlyTheWrittenBytes) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    ASSERT_GE(fcntl(ends[1], F_SETPIPE_SZ, 4096), 4096);
    long capacity = fcntl(ends[1], F_GETPIPE_SZ);
    ASSERT_EQ(capacity, 4096);
    std::string bytes;
    for (int index = 0; index < 8000; ++index) bytes.push_back(static_cast<char>('a' + index % 26));
    {
        FileSink sink = open_or_fail("/proc/self/fd/" + std::to_string(ends[1]));
        ASSERT_EQ(fcntl(sink.fd(), F_SETFL, O_NONBLOCK), 0);
        ASSERT_TRUE(sink.append(bytes).ok());
        Result<void, IoError> flushed = sink.flush();
        ASSERT_FALSE(flushed.ok());
        EXPECT_EQ(flushed.error().os_errno, EAGAIN);
        EXPECT_EQ(sink.buffered_size(), 8000u - 4096u);

        std::string received(8000, '\0');
        ASSERT_EQ(read(ends[0], received.data(), 4096), 4096);
        ASSERT_TRUE(sink.flush().ok());
        ASSERT_EQ(read(ends[0], received.data() + 4096, 8000 - 4096), 8000 - 4096);
        EXPECT_EQ(received, bytes);
    }
    close(ends[0]);
    close(ends[1]);
}

TEST(FileSinkTest, ClosedPipeFailsWithBrokenPipe) {
    std::signal(SIGPIPE, SIG_IGN);
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    FileSink sink = open_or_fail("/proc/self/fd/" + std::to_string(ends[1]));
    close(ends[0]);
    close(ends[1]);
    Result<void, IoError> direct = sink.append(piece(10000, 'x'));
    ASSERT_FALSE(direct.ok());
    EXPECT_EQ(direct.error().os_errno, EPIPE);
}

TestElement mixed_tree() {
    std::vector<TestElement> rows;
    for (int index = 0; index < 500; ++index) {
        rows.push_back(element("row", {{"n", std::to_string(index)}, {"q", "a\"b\tc"}},
                               index % 3 == 0 ? std::optional<std::string_view>("x & y < z") : std::nullopt,
                               index % 5 == 0 ? children_of(element("cell", {}, "\xC3\xA9t\xC3\xA9")) :
                                                std::vector<TestElement>{}));
    }
    std::string long_text(20000, 'L');
    long_text[9999] = '<';
    rows.push_back(element("big", {}, long_text));
    return element("table", {{"kind", "test"}}, "head", std::move(rows));
}

TEST(SinkAgreementTest, BothSinksReceiveTheSameBytes) {
    TempDir dir;
    std::string path = dir.file("agreement.xml");
    for (std::uint32_t indent : {0u, 2u, 4u, 9000u}) {
        SCOPED_TRACE(indent);
        TestElement tree = mixed_tree();

        StringSink string_sink;
        ASSERT_TRUE(string_sink.append(XML_DECLARATION).ok());
        XmlWriter<StringSink> string_writer{string_sink, indent};
        ASSERT_TRUE(write_element<TestTree>(string_writer, tree).ok());
        {
            FileSink file_sink = open_or_fail(path);
            ASSERT_TRUE(file_sink.append(XML_DECLARATION).ok());
            XmlWriter<FileSink> file_writer{file_sink, indent};
            ASSERT_TRUE(write_element<TestTree>(file_writer, tree).ok());
            ASSERT_TRUE(file_sink.flush().ok());
        }
        EXPECT_EQ(read_all(path), string_sink.view());
        EXPECT_GT(string_sink.size(), 40000u);
    }
}

TEST(SinkAgreementTest, FailingFileStopsTheWriter) {
    BufferRef buffer = testing_support::make_buffer("shared-name");
    std::vector<TestElement> rows;
    for (int index = 0; index < 2000; ++index) {
        TestElement row = element("row", {}, "some text to fill the buffer");
        row.name = StrRef::span(buffer.get(), 0, 6);
        rows.push_back(std::move(row));
    }
    {
        TestElement tree = element("rows", {}, std::nullopt, std::move(rows));
        EXPECT_EQ(buffer->use_count(), 2001u);
        FileSink sink = open_or_fail("/dev/full");
        XmlWriter<FileSink> writer{sink, 4};
        Result<void, WriteError> written = write_element<TestTree>(writer, tree);
        ASSERT_FALSE(written.ok());
        ASSERT_TRUE(std::holds_alternative<IoError>(written.error()));
        EXPECT_EQ(std::get<IoError>(written.error()).os_errno, ENOSPC);
        // The writer only reads the tree: every span is still there.
        EXPECT_EQ(buffer->use_count(), 2001u);
    }
    EXPECT_EQ(buffer->use_count(), 1u);
}

}  // namespace
}  // namespace vorlane
