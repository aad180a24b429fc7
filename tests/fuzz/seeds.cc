// Writes the seed corpora of the fuzz targets (run once from the fuzz build;
// the corpora are kept in the source tree): seeds-writer DIR.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "client/request_catalogue.h"
#include "client/request_data.h"
#include "client/web_client.h"
#include "setup/dataset.h"
#include "system/serial_line.h"
#include "web/sxm_format.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
std::string root;

void Write(const std::string& target, const std::string& name, const Bytes& bytes) {
  std::filesystem::create_directories(root + "/" + target);
  std::ofstream(root + "/" + target + "/" + name, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void Chunk(Bytes& out, const Bytes& chunk) {
  out.push_back(static_cast<std::uint8_t>(chunk.size() >> 8));
  out.push_back(static_cast<std::uint8_t>(chunk.size()));
  out.insert(out.end(), chunk.begin(), chunk.end());
}

// One connection's messages, numbered from 1, the last one final.
Bytes Conversation(const std::vector<client::Request>& requests) {
  Bytes out;
  for (std::size_t i = 0; i < requests.size(); ++i) {
    client::Request r = requests[i];
    r.final = i + 1 == requests.size();
    Bytes message = client::EncodeRequest(r, "alice", static_cast<std::uint16_t>(i + 1));
    out.insert(out.end(), message.begin(), message.end());
  }
  return out;
}

client::Request Named(const char* name, Bytes data = {}) { return client::MakeRequest(name, std::move(data)); }
client::Request Pgc(const char* name, std::uint16_t id, Bytes data = {}, std::uint8_t recordLength = 0) {
  client::Request r = client::MakeRequest(name, std::move(data));
  r.messageId = id;
  r.recordLength = recordLength;
  return r;
}

// A system answer packet: `sequence` of `count`, `body` bytes of rows.
Bytes Answer(std::uint16_t id, int sequence, int count, int body, std::uint8_t recordLength, std::uint8_t result = 1) {
  Bytes p(sxm::kHeaderSize, 0);
  p[sxm::kType] = sxm::kPacketType;
  p[sxm::kMode] = sxm::kModeRead;
  sxm::Put16(&p[sxm::kMessageId], id);
  sxm::Put16(&p[sxm::kFinalSeq], static_cast<std::uint16_t>(sequence | (sequence == count ? 0xF000 : 0)));
  sxm::Put16(&p[sxm::kLength], static_cast<std::uint16_t>(body + 10));
  p[sxm::kRecordLength] = recordLength;
  p[sxm::kResult] = result;
  for (int i = 0; i < body; ++i) p.push_back(static_cast<std::uint8_t>(i % 7));
  return p;
}

Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

void WebSeeds() {
  const Bytes login = client::LoginData("alice", "secret", "S1", "127.0.0.1");
  auto single = [](const std::vector<client::Request>& requests) {
    Bytes out;
    Chunk(out, Conversation(requests));
    return out;
  };
  Write("web_connection", "login", single({Named("LOGIN", login)}));
  Write("web_connection", "login_logout",
        single({Named("LOGIN", login), Named("LOGOUT", client::LogoutData("alice", "S1"))}));
  Write("web_connection", "offline_file",
        single({Named("FILE_CREATE", client::FileNameData("f1")), Named("FILE_OPEN", client::FileNameData("f1")),
                Pgc("PGC_READ", 0x7240, client::PgcTableData(0x7240)),
                Pgc("PGC_WRITE", 0x7240, Bytes(40, 3), 10), Named("FILE_LIST"),
                Named("FILE_CLOSE", client::FileNameData("f1")),
                Named("FILE_DELETE", client::FileNameFields({"f1"}))}));
  Write("web_connection", "users",
        single({Named("USER_SET", client::UserRecord(1, 0, "carol", "pw")), Named("FILE_USER_LIST"),
                Named("LINK_SET", client::LinkRecord(1, 0, "sys", {127, 0, 0, 1}))}));
  // Online: the connect's link check and a table read answered by the system.
  Bytes connect4, connect6;
  client::ConnectTcpData(0, "127.0.0.1", connect4);
  client::ConnectTcpData(1, "::1", connect6);
  for (const auto& [name, connect] : {std::pair{"online4", connect4}, std::pair{"online6", connect6}}) {
    Bytes out;
    Chunk(out, Conversation({Named("CONNECT_SYSTEM", connect), Named("LINK_CHECK"),
                             Pgc("PGC_READ", 0x7240, client::PgcTableData(0x7240)), Named("DISCONNECT")}));
    Chunk(out, Answer(0, 1, 1, 140, 140));
    Chunk(out, Answer(0, 1, 1, 140, 140));
    Chunk(out, Join({Answer(0x7240, 1, 2, 240, 10), Answer(0x7240, 2, 2, 20, 10)}));
    Chunk(out, Answer(1, 1, 1, 0, 0));
    Write("web_connection", name, out);
  }
  {
    Bytes out;
    Chunk(out, Conversation({Named("CONNECT_SYSTEM", connect4), Named("ALL_DOWNLOAD_START",
                                                                       client::DownloadStartData("d1", 0)),
                             Pgc("DOWNLOAD_PGC", 0x7240, client::PgcTableData(0x7240)), Named("ALL_DOWNLOAD_END"),
                             Named("ALL_UPLOAD_START", client::FileNameData("d1")),
                             Pgc("UPLOAD_PGC", 0x7240, client::PgcTableData(0x7240)), Named("ALL_UPLOAD_END")}));
    Chunk(out, Answer(0, 1, 1, 140, 140));
    Chunk(out, Answer(0x7240, 1, 1, 40, 10));
    Chunk(out, Answer(0x7240, 1, 1, 0, 0));
    Write("web_connection", "download_upload", out);
  }
  Write("web_connection", "modem",
        single({Named("CONNECT_SYSTEM", client::ConnectModemData(1, 2, "5551234")), Named("DISCONNECT")}));
  Bytes broken = Conversation({Named("LOGIN", login)});
  broken[2] = 0xFF;
  Bytes out;
  Chunk(out, broken);
  Write("web_connection", "bad_length", out);
}

void SystemSeeds() {
  for (int sequence = 0; sequence < 6; ++sequence) {
    for (int message = 0; message < 8; message += 3) {
      Bytes seed{static_cast<std::uint8_t>(sequence), static_cast<std::uint8_t>(message)};
      static const std::uint16_t ids[] = {0x7240, 0x1010, 0x1020, 0x7230, 0x7100, 0, 1, 0xFFFF};
      std::uint16_t id = ids[message];
      Bytes answers;
      if (sequence == 4) {
        answers = Answer(id, 1, 1, 0, 0);
      } else {
        for (int s = 1; s <= 12; ++s) {
          Bytes p = Answer(id, s, 12, 240, 10);
          answers.insert(answers.end(), p.begin(), p.end());
        }
      }
      seed.insert(seed.end(), answers.begin(), answers.end());
      Write("system_answer", "seq" + std::to_string(sequence) + "_msg" + std::to_string(message), seed);
    }
  }
  Bytes refused{0, 1};
  Bytes nok = Answer(0x1010, 1, 1, 0, 0, sxm::TVRL_MSG_NOK);
  for (int i = 0; i < 3; ++i) refused.insert(refused.end(), nok.begin(), nok.end());
  Bytes ok = Answer(0x1010, 1, 1, 20, 10);
  refused.insert(refused.end(), ok.begin(), ok.end());
  Write("system_answer", "refused_then_answered", refused);
}

void SerialSeeds() {
  Bytes packet = Answer(0x7240, 1, 1, 30, 10);
  std::uint8_t frame[serial::kFrameBufferSize];
  std::size_t length = serial::BuildSerialFrame(packet.data(), packet.size(), frame);
  Bytes framed(frame, frame + length);
  Bytes out{0};
  Chunk(out, {serial::ENQ});
  Chunk(out, framed);
  Write("serial_line", "packet", out);
  Bytes spoiled = framed;
  spoiled[length - 2] ^= 0x55;
  out = {0};
  Chunk(out, {serial::ENQ});
  Chunk(out, spoiled);
  Chunk(out, {serial::ENQ});
  Chunk(out, framed);
  Write("serial_line", "packet_after_nck", out);
  out = {1};
  Chunk(out, framed);
  Write("serial_line", "frame", out);
  for (const char* answer : {"OK\r\n", "\r\nCONNECT 9600\r\n", "BUSY\r\n", "NO CARRIER\r\n", "RING\r\nERROR\r\n"}) {
    std::string text(answer);
    out = {2};
    Chunk(out, Bytes(text.begin(), text.end()));
    Write("serial_line", "modem_" + std::to_string(text.size()), out);
  }
}

void TextSeeds() {
  auto text = [](const std::string& s) { return Bytes(s.begin(), s.end()); };
  Write("config_file", "installed", text("TAVREL_PORT:6000\nINFO_LEVEL:2\n"));
  Write("config_file", "started", text("TAVREL_PORT:6000\r\nINFO_LEVEL:9\r\nWEB_LOG:1\r\nCOMM_PATH:/srv/comm\r\n"));
  Write("config_file", "short", text("TAVREL_PORT:"));
  std::string_view dataset = setup::DefaultDatasetText();
  Write("dataset", "default", Bytes(dataset.begin(), dataset.end()));
  Write("dataset", "small", text("system 1 a\ncountry 0 b\nversion 1 100 199 v\npgc 724 10 1 0 1-1\npgc 724 20\n"
                                 "line 1 2 3\nfield 724 1 key\n"));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
    return 2;
  }
  root = argv[1];
  WebSeeds();
  SystemSeeds();
  SerialSeeds();
  TextSeeds();
  return 0;
}
