// The request pipeline end to end: the real zelclient, real files, and the
// gateway stand-in on 127.0.0.1. What the terminal finds, what the gateway
// receives, and the error lines an operator reads.
#include <gtest/gtest.h>

#include "socket/socket.h"
#include "testsupport.h"

namespace {

using namespace std::chrono_literals;

using zt::kRequest;

// A 51-character troquel record whose leading number is n (0: all zeros).
std::string troquel(int n) {
  std::string record = n == 0 ? std::string(51, '0') : std::to_string(n);
  record.resize(51, 'X');
  return record;
}

gw::Script reply(const std::string& bytes, int delayMs = 0) {
  return [bytes, delayMs](const gw::Received&) { return gw::answer({bytes}, delayMs); };
}
gw::Script reply_text(const std::string& text) {
  return reply(gw::reply_packet(1, text));
}

enum class Net { Up, DownProbesAnswer, DownNoProbe };

struct Outcome {
  const char* name;
  std::string request;
  gw::Script gateway;  // for the request; life signals are not answered
  Net net;
  std::string answer;   // what the terminal finds
  std::size_t relayed;  // requests the gateway read
  // The service's ERROR lines, in order; a local number adds the line of the first.
  std::vector<std::string> errors;
};

const std::string kApproval =
    "|F01=1234|F04=556677|F08=42|F41=caja1|F50=00|F51=APROBADA|F52=GW0000000001|";
const std::string kBinary = "|F01=1234|F52=A\x01\x02\x7f\xff\xfe|F99=\x1b[2J|";
const std::string kBig(5000, 'x');
const std::string kProcess = "ERROR\tZELClient_Process ";
const std::string kNoF52 = kProcess + "no existe campo F52 en el mensaje de respuesta";

std::string error_answer(const std::string& reason, const std::string& id = "556677") {
  return "|F01=1234|F04=" + id + "|F08=42|F41=caja1|F50=ND|F51=" + reason + "|F99=000021|";
}
std::string with_troqueles(const std::string& list, const std::string& id = "556677") {
  return "|G01=1234|G04=" + id + "|G08=42|G06=" + list + "|G99=000020|";
}
// A request whose edited form (G06 and G41 appended) has length characters.
std::string edited_to(std::size_t length) {
  const std::string head = "|G01=1234|G04=556677|G08=42|G02=";
  return head + std::string(length - head.size() - 27, 'p') + "|G99=000020|";
}
gw::Act approve(const gw::Received& r) {
  return gw::answer({gw::reply_packet(r.type(), gw::approval_text(r.message(), 1))});
}

std::vector<Outcome> outcomes() {
  const std::string g1 = zt::preauth('G', 1);
  const std::string invalid = "|F41=caja1|F50=ND|F51=Tipo de transaccion invalido|F99=000031|";
  const std::string three = troquel(1) + troquel(2) + troquel(3);
  // clang-format off
  return {
      {"ApprovedWithF52", kRequest, approve, Net::Up, kApproval, 1, {}},
      {"AnswerWithoutF52", kRequest, reply_text("|F01=1234|F50=05|F51=RECHAZADA|"), Net::Up, g1, 1,
       {kNoF52}},
      {"InvalidTransactionType", "|G01=1234|G04=556677|G08=42|G99=20|", approve, Net::Up,
       "|F01=1234|F04=556677|F08=42" + invalid, 0, {kProcess + "Tipo de transaccion invalido"}},
      // Empty when first seen, it may be a file being created: taken a second later.
      {"EmptyRequestFile", "", approve, Net::Up, "|F01=|F04=|F08=" + invalid, 0,
       {kProcess + "Tipo de transaccion invalido"}},
      {"TroquelListOfNoWidth", with_troqueles(std::string(100, '1')), approve, Net::Up,
       error_answer("Formato de Troquel invalido"), 0, {kProcess + "Formato de Troquel invalido"}},
      {"TroquelListOverItsLimit", with_troqueles(std::string(306, '0')), approve, Net::Up,
       error_answer("Formato de Troquel invalido"), 0, {kProcess + "Formato de Troquel invalido"}},
      // An error answer too long for the answer file has its fields cut to their widths.
      {"ErrorAnswerCutToWidths", "|G01=1234|G04=" + std::string(970, '5') + "|G06=1|G99=000020|",
       approve, Net::Up, "|F01=1234|F04=" + std::string(20, '5') +
       "|F08=|F41=caja1|F50=ND|F51=Formato de Troquel invalido|F99=000021|", 0,
       {kProcess + "Formato de Troquel invalido"}},
      // A field wider than its width is kept whole where the answer fits.
      {"TooManyTroqueles", with_troqueles(three, std::string(24, '6')), approve, Net::Up,
       error_answer("N\xFAmero de Troqueles invalido", std::string(24, '6')), 0,
       {kProcess + "N\xFAmero de Troqueles invalido"}},
      // A request file over 1024 characters is answered from its first 1024.
      {"RequestFileTooLong", std::string(kRequest) + "G02=" + std::string(1000, 'p') + "|",
       approve, Net::Up, error_answer("Receta demasiado larga"), 0,
       {"ERROR\tZELClient_ReadFileInput archivo [{in}] mayor a 1024 caracteres, "
        "no se lee entero",
        kProcess + "receta demasiado larga para el buffer"}},
      {"EditedRequestFillsTheBuffer", edited_to(1024), approve, Net::Up, kApproval, 1, {}},
      {"EditedRequestTooLong", edited_to(1025), approve, Net::Up,
       error_answer("Receta demasiado larga"), 0,
       {kProcess + "receta demasiado larga para el buffer"}},
      {"GatewayCloses", kRequest, reply(""), Net::Up, g1, 1, {kProcess + "SOCKET_Receive"}},
      // Read until the packet its header announces is whole: the gateway's answer.
      {"HeaderAndTextInTwoPieces", kRequest, [](const gw::Received& r) {
         const std::string p = gw::reply_packet(1, gw::approval_text(r.message(), 1));
         return gw::answer({p.substr(0, 10), p.substr(10, 20), p.substr(30)}, 0, 50);
       }, Net::Up, kApproval, 1, {}},
      // A byte that no request holds: turned down, read no further than 1025 bytes.
      {"RequestWithAZeroByte", std::string(kRequest) + std::string(3, '\0') + "G02=1|", approve,
       Net::Up, error_answer("Receta con caracteres invalidos"), 0, {"ERROR\tZELClient_"
       "ReadFileInput archivo [{in}] con caracteres que una receta no lleva"}},
      {"RequestWithAControlByte", "|G01=1234|G04=556677|G08=42|G02=\x1b[2J|G99=000020|", approve,
       Net::Up, error_answer("Receta con caracteres invalidos"), 0, {"ERROR\tZELClient_"
       "ReadFileInput archivo [{in}] con caracteres que una receta no lleva"}},
      // A Ctrl-Z ends a text file, as the Windows C runtime reads it: what follows is no part.
      {"CtrlZEndsTheRequest", std::string(kRequest) + "\x1a" + std::string(2000, '\0'), approve,
       Net::Up, kApproval, 1, {}},
      // 4095 bytes are read: an F52 among them makes an answer too long for the
      // answer file, so the terminal is told with an error answer.
      {"LongReplyWithF52First", kRequest, reply_text("|F01=1234|F52=A0001|" + kBig + "|"), Net::Up,
       error_answer("Respuesta demasiado larga"), 1,
       {kProcess + "respuesta del gateway mayor a 1024 caracteres, numero del gateway [A0001] "
        "no entregado"}},
      {"F52PastTheFirst4095Bytes", kRequest,
       reply_text("|F01=" + kBig.substr(0, 4090) + "|F52=A0001|"), Net::Up, g1, 1, {kNoF52}},
      // Zero bytes in a reply end no text: the gateway's F52 after them is seen.
      {"ZeroBytesBeforeTheText", kRequest, [](const gw::Received&) {
         std::string p = gw::reply_packet(1, "xx" + kApproval);
         p[10] = p[11] = '\0';
         return gw::answer({p});
       }, Net::Up, kApproval, 1, {}},
      // Binary bytes travel as data to the terminal; the log shows control bytes as \xNN.
      {"BinaryReplyWithF52", kRequest, reply_text(kBinary), Net::Up, kBinary, 1, {}},
      {"SilentPastTheBound", kRequest, [](const gw::Received&) { return gw::hold(); }, Net::Up, g1,
       1, {"ERROR\tSOCKET_Receive sin respuesta en 500 ms: tiempo de espera agotado",
           kProcess + "SOCKET_Receive"}},
      {"GatewayDownProbesAnswer", kRequest, approve, Net::DownProbesAnswer, g1, 0,
       {kProcess + "conectandose al gateway en [{gateway}]"}},
      {"GatewayDownNoProbeAnswers", kRequest, approve, Net::DownNoProbe, zt::preauth('I', 1), 0,
       {kProcess + "conectandose al gateway en [{gateway}]"}},
  };
  // clang-format on
}

std::string replaced(std::string line, const std::string& key, const std::string& value) {
  const auto at = line.find(key);
  return at == std::string::npos ? line : line.replace(at, key.size(), value);
}

void PrintTo(const Outcome& o, std::ostream* out) {
  *out << o.name;
}

class Outcomes : public testing::TestWithParam<Outcome> {};

TEST_P(Outcomes, OneAnswerAndItsLines) {
  const Outcome& o = GetParam();
  gw::Gateway gateway([&](const gw::Received& r) {
    return r.whole() && r.type() != 0 ? o.gateway(r) : gw::hang_up();
  });
  gw::Gateway probe([](const gw::Received&) { return gw::hang_up(); });
  const int port = o.net == Net::Up ? gateway.port() : zt::closed_port();
  // Probe hosts without a port are tried on port 80, where nothing should answer here.
  if (o.net == Net::DownNoProbe && SOCKET_TestConnection("127.0.0.1:80")) {
    GTEST_SKIP() << "something answers on 127.0.0.1:80";
  }
  zt::Service svc(port, {"-p", "-1"},
                  {"ZELCLIENT_NET_TIMEOUT_MS=500",
                   o.net == Net::DownNoProbe ? "ZELCLIENT_PROBE_HOSTS=127.0.0.1,127.0.0.1,localhost"
                                             : zt::probe_hosts(probe.port())});
  svc.start();
  EXPECT_EQ(svc.ask("caja1", o.request), o.answer);
  ASSERT_TRUE(svc.stop());
  EXPECT_EQ(gateway.received().size(), o.relayed);  // and no life signal: -p -1

  std::vector<std::string> expected;
  for (const auto& line : o.errors) {
    expected.push_back(replaced(replaced(line, "{in}", (svc.root / "caja1in.txt").string()),
                                "{gateway}", "127.0.0.1:" + std::to_string(port)));
  }
  if (o.answer.find("PRE-AUTORIZADA|F52=") != std::string::npos) {
    expected.insert(
        expected.end() - 1,  // the first local number of a working directory
        "ERROR\tZELClient_GenAutoResponse borrando archivo nroaut.txt, ubicacion erronea");
  }
  std::vector<std::string> errors;
  for (const auto& line : svc.log()) {
    if (line.rfind("ERROR\tZELClient_", 0) == 0 ||
        line.find("tiempo de espera") != std::string::npos) {
      errors.push_back(line);
    }
  }
  EXPECT_EQ(errors, expected);
  if (o.answer == kBinary) {
    EXPECT_TRUE(zt::contains_in_order(
        svc.log(), {"INFO\tZELClient_Process Recibio del Gateway:[|F01=1234|F52=A\\x01\\x02\\x7F"
                    "\xff\xfe|F99=\\x1B[2J|]"}));
  }
}

INSTANTIATE_TEST_SUITE_P(Pipeline, Outcomes, testing::ValuesIn(outcomes()),
                         [](const auto& row) { return std::string(row.param.name); });

// What the gateway receives, byte for byte: header (length, type 1 or 3, the
// sender's 4 bytes), G06 rewritten with the kept troqueles at the end, G41
// appended, line ends stripped; terminals taken in table order.
TEST(Pipeline, FramesAreByteExact) {
  gw::Gateway gateway(gw::approver());
  // The gateway by name, as operators give it.
  zt::Service svc(gateway.port(),
                  {"-c", "3", "-p", "-1", "-g", gateway.address().replace(0, 9, "localhost")});
  const std::string big = "4294967296" + std::string(41, 'X');  // 2^32: no wrap to 0
  svc.drop("caja2", "|G01=9|G99=000010|G41=own|");
  svc.drop("caja1", "|G01=1234|G06=" + troquel(7) + troquel(0) + big + "|G99=000020|\r\n");
  svc.start();
  EXPECT_NE(svc.answer("caja1"), zt::kNoAnswer);
  EXPECT_NE(svc.answer("caja2"), zt::kNoAnswer);
  // Records of 52 and 53 characters, and three troqueles within -c 3.
  const std::string lists[] = {std::string(104, '2'), std::string(106, '3'),
                               troquel(1) + troquel(2) + troquel(3)};
  for (const auto& list : lists) {
    EXPECT_NE(svc.ask("caja1", "|G01=1|G06=" + list + "|G99=000020|"), zt::kNoAnswer);
  }
  ASSERT_TRUE(svc.stop());

  const auto frame = [](char type, const std::string& message) {
    const std::size_t n = message.size() + 6;
    return std::string{0, 0, static_cast<char>(n >> 8), static_cast<char>(n), 0, type} +
           std::string("AB\0\0", 4) + message;
  };
  std::vector<std::string> expected = {
      frame(1, "|G01=1234|G99=000020|G06=" + troquel(7) + big + "|G41=caja1|"),
      frame(3, "|G01=9|G99=000010|G41=own|G06=|G41=caja2|")};
  for (const auto& list : lists) {
    expected.push_back(frame(1, "|G01=1|G99=000020|G06=" + list + "|G41=caja1|"));
  }
  std::vector<std::string> sent;
  for (const auto& r : zt::requests(gateway)) sent.push_back(r.bytes);
  EXPECT_EQ(sent, expected);
}

// A life signal at every pass (-p 0, a wait of 1 ms) gives its socket back: after
// more signals than the socket table holds, a request still reaches the gateway.
TEST(Pipeline, LifeSignalsGiveTheirSocketsBack) {
  gw::Gateway gateway(gw::approver());
  zt::Service svc(gateway.port(), {"-p", "0", "-T", "1"});
  zt::write_file(svc.work / "zelautoresp.txt", "");  // life signals go once there is a journal
  svc.start();
  EXPECT_TRUE(gateway.wait_received(kSocketSlots + 20, 10s));
  EXPECT_NE(svc.ask("caja1", kRequest).find("|F52=GW"), std::string::npos);
  ASSERT_TRUE(svc.stop());
}

}  // namespace
