// Writing the session description file: atomic replacement, a warning and no
// stop on failure, a version that grows, the variable that turns it on, and
// a text GStreamer's own SDP parser reads.
#include <gst/gst.h>
#include <gst/sdp/sdp.h>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "encoder/control/atomic_file.h"
#include "encoder/graph/sdp_file.h"
#include "streaming_support.h"

namespace nerko {
namespace {

namespace fs = std::filesystem;
using test::read_text_file;

class SdpFile : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("nerko-sdp-file-" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // What `describe` wrote on its error stream.
  static std::string describe_into(SessionDescriptionFile &file, const Destination &destination, bool video,
                                   bool audio) {
    char *text = nullptr;
    size_t size = 0;
    std::FILE *err = open_memstream(&text, &size);
    file.describe(destination, video, audio, err);
    std::fclose(err);
    std::string written(text, size);
    free(text);
    return written;
  }

  std::vector<std::string> entries() const {
    std::vector<std::string> names;
    for (const auto &entry : fs::directory_iterator(dir_))
      names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  fs::path dir_;
};

TEST_F(SdpFile, ReplacesTheFileAndLeavesNoTemporaryFileBehind) {
  fs::path path = dir_ / "stream.sdp";
  ASSERT_FALSE(write_file_atomically(path.string(), "first\n"));
  ASSERT_FALSE(write_file_atomically(path.string(), "second\n"));
  EXPECT_EQ(read_text_file(path), "second\n");
  EXPECT_EQ(entries(), std::vector<std::string>{"stream.sdp"});
  // Readable by receivers running as other users.
  struct stat info {};
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0644u);
}

TEST_F(SdpFile, ReplacingKeepsAnOpenReaderOnTheOldText) {
  fs::path path = dir_ / "stream.sdp";
  ASSERT_FALSE(write_file_atomically(path.string(), "old text\n"));
  std::ifstream reader(path);
  ASSERT_FALSE(write_file_atomically(path.string(), "new text\n"));
  std::string line;
  std::getline(reader, line);
  EXPECT_EQ(line, "old text");
  EXPECT_EQ(read_text_file(path), "new text\n");
}

TEST_F(SdpFile, AMissingDirectoryFailsWithTheReasonAndCreatesNothing) {
  fs::path path = dir_ / "missing" / "stream.sdp";
  Status failure = write_file_atomically(path.string(), "text\n");
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->message(), "No such file or directory");
  EXPECT_TRUE(entries().empty());
}

TEST_F(SdpFile, AFailedWriteIsOneWarningLineEachTime) {
  fs::path path = dir_ / "missing" / "stream.sdp";
  SessionDescriptionFile file(path.string(), 100, 100);
  Destination destination{"127.0.0.1", 5000};
  std::string expected = "Warning, failed to write session description " + path.string() +
                         ": No such file or directory\n";
  EXPECT_EQ(describe_into(file, destination, true, false), expected);
  EXPECT_EQ(describe_into(file, destination, true, true), expected);
  // Once the directory exists the next branch writes the file.
  fs::create_directories(dir_ / "missing");
  EXPECT_EQ(describe_into(file, destination, true, true), "");
  EXPECT_NE(read_text_file(path).find("m=audio 5002"), std::string::npos);
}

TEST_F(SdpFile, ADestinationWithoutHostIsNotDescribed) {
  fs::path path = dir_ / "stream.sdp";
  SessionDescriptionFile file(path.string(), 100, 100);
  EXPECT_EQ(describe_into(file, Destination{"", 5000}, true, true),
            "Warning, failed to write session description " + path.string() + ": the destination has no host\n");
  EXPECT_FALSE(fs::exists(path));
}

TEST_F(SdpFile, EachRewriteKeepsTheSessionAndRaisesTheVersion) {
  fs::path path = dir_ / "stream.sdp";
  SessionDescriptionFile file(path.string(), 100, 0);
  Destination destination{"127.0.0.1", 6000};
  unsigned long long id1 = 0, version1 = 0, id2 = 0, version2 = 0;

  ASSERT_EQ(describe_into(file, destination, true, false), "");
  std::string text1 = read_text_file(path);
  ASSERT_EQ(std::sscanf(text1.c_str(), "v=0\r\no=- %llu %llu IN IP4 127.0.0.1\r\n", &id1, &version1), 2) << text1;
  EXPECT_EQ(text1.find("m=audio"), std::string::npos);

  ASSERT_EQ(describe_into(file, destination, true, true), "");
  std::string text2 = read_text_file(path);
  ASSERT_EQ(std::sscanf(text2.c_str(), "v=0\r\no=- %llu %llu IN IP4 127.0.0.1\r\n", &id2, &version2), 2) << text2;
  EXPECT_EQ(id1, id2);
  EXPECT_EQ(version2, version1 + 1);
  EXPECT_NE(text2.find("m=audio 6002 RTP/AVP 97\r\na=rtpmap:97 opus/48000/2\r\na=rtcp:6003\r\n"),
            std::string::npos)
      << text2;
}

TEST_F(SdpFile, GStreamersParserReadsWhatIsWritten) {
  fs::path path = dir_ / "stream.sdp";
  SessionDescriptionFile file(path.string(), 100, 100);
  ASSERT_EQ(describe_into(file, Destination{"239.1.2.3", 5000}, true, true), "");
  std::string text = read_text_file(path);

  GstSDPMessage *message = nullptr;
  ASSERT_EQ(gst_sdp_message_new_from_text(text.c_str(), &message), GST_SDP_OK);
  const GstSDPConnection *connection = gst_sdp_message_get_connection(message);
  EXPECT_STREQ(connection->address, "239.1.2.3");
  EXPECT_EQ(connection->ttl, 64u);
  ASSERT_EQ(gst_sdp_message_medias_len(message), 2u);
  const GstSDPMedia *video = gst_sdp_message_get_media(message, 0);
  EXPECT_STREQ(gst_sdp_media_get_media(video), "video");
  EXPECT_EQ(gst_sdp_media_get_port(video), 5000u);
  EXPECT_STREQ(gst_sdp_media_get_proto(video), "RTP/AVP");
  ASSERT_EQ(gst_sdp_media_formats_len(video), 2u);
  EXPECT_STREQ(gst_sdp_media_get_format(video, 0), "96");
  EXPECT_STREQ(gst_sdp_media_get_format(video, 1), "100");

  // The caps a GStreamer receiver derives for each payload type.
  GstCaps *vp8 = gst_sdp_media_get_caps_from_media(video, 96);
  ASSERT_TRUE(vp8);
  const GstStructure *s = gst_caps_get_structure(vp8, 0);
  EXPECT_STREQ(gst_structure_get_string(s, "encoding-name"), "VP8");
  int rate = 0;
  EXPECT_TRUE(gst_structure_get_int(s, "clock-rate", &rate));
  EXPECT_EQ(rate, 90000);
  gst_caps_unref(vp8);
  GstCaps *fec = gst_sdp_media_get_caps_from_media(video, 100);
  ASSERT_TRUE(fec);
  EXPECT_STREQ(gst_structure_get_string(gst_caps_get_structure(fec, 0), "encoding-name"), "ULPFEC");
  gst_caps_unref(fec);

  const GstSDPMedia *audio = gst_sdp_message_get_media(message, 1);
  EXPECT_STREQ(gst_sdp_media_get_media(audio), "audio");
  EXPECT_EQ(gst_sdp_media_get_port(audio), 5002u);
  EXPECT_STREQ(gst_sdp_media_get_attribute_val(audio, "rtcp"), "5003");
  GstCaps *opus = gst_sdp_media_get_caps_from_media(audio, 97);
  ASSERT_TRUE(opus);
  s = gst_caps_get_structure(opus, 0);
  EXPECT_STREQ(gst_structure_get_string(s, "encoding-name"), "OPUS");
  EXPECT_STREQ(gst_structure_get_string(s, "useinbandfec"), "1");
  gst_caps_unref(opus);
  gst_sdp_message_free(message);
}

TEST(SdpFileSetting, UnsetOrEmptyWritesNoFileAndAPathTurnsItOn) {
  unsetenv("NERKO_SDP_FILE");
  EXPECT_EQ(session_description_file(100, 100).value(), nullptr);
  setenv("NERKO_SDP_FILE", "", 1);
  EXPECT_EQ(session_description_file(100, 100).value(), nullptr);
  setenv("NERKO_SDP_FILE", "/srv/sdp/channel one.sdp", 1);
  auto file = session_description_file(100, 100).value();
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->path(), "/srv/sdp/channel one.sdp");
  unsetenv("NERKO_SDP_FILE");
}

}  // namespace
}  // namespace nerko
