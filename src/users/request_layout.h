#pragma once
// Where the user-related fields sit in the data of a request (offsets into
// WebMsg::data). Texts are zero-padded and read up to their first zero byte.
#include <cstddef>
#include <cstdint>

namespace users::layout {

// Login and login reset:
//   user id(16) password(16) session id(32) address(15)
constexpr std::size_t kLoginUserId = 0;
constexpr std::size_t kLoginPassword = 16;
constexpr std::size_t kLoginSessionId = 32;
constexpr std::size_t kLoginAddress = 64;
constexpr std::size_t kIdWidth = 16;
constexpr std::size_t kPasswordWidth = 16;
constexpr std::size_t kSessionWidth = 32;
constexpr std::size_t kAddressWidth = 15;

// Logout and other session checks: user id(16) session id(32)
constexpr std::size_t kSessionId = 16;

// Login answer (120 bytes): on a duplicate login the stored address of the
// first login sits in 104..118 among the 0xFF failure pattern.
constexpr std::size_t kAnswerAddress = 104;
constexpr std::size_t kAnswerAddressWidth = 15;
constexpr std::uint8_t kFailureByte = 0xFF;

// Connect and take-over: link type(1) ...(3) link parameters(48)
constexpr std::size_t kConnectLinkType = 0;
constexpr std::size_t kConnectParams = 4;

// Offline file work: file name(30)
constexpr std::size_t kOfflineFile = 0;
constexpr std::size_t kOfflineFileWidth = 30;

// User administration record, 34 bytes:
//   operation(1) user level(1) user id(16) password(16)
constexpr std::size_t kUserRecordSize = 34;
constexpr std::size_t kUserOp = 0;
constexpr std::size_t kUserLevel = 1;
constexpr std::size_t kUserRecordId = 2;
constexpr std::size_t kUserRecordPassword = 18;

// Link administration record, 70 bytes:
//   operation(1) link type(1) name(20) parameters(48)
constexpr std::size_t kLinkRecordSize = 70;
constexpr std::size_t kLinkOp = 0;
constexpr std::size_t kLinkType = 1;
constexpr std::size_t kLinkName = 2;
constexpr std::size_t kLinkParams = 22;

// Operation byte of both administration records.
constexpr std::uint8_t kOpInsert = 0;
constexpr std::uint8_t kOpUpdate = 1;
constexpr std::uint8_t kOpDelete = 2;

// Extended user record: id(16) password(16) name(24) phone(26) mobile(26)
// address(60) job(40) email(30)
struct ExtField {
  std::size_t offset;
  std::size_t width;
};
constexpr ExtField kExtUserId{0, 16};
constexpr ExtField kExtPassword{16, 16};
constexpr ExtField kExtName{32, 24};
constexpr ExtField kExtPhone{56, 26};
constexpr ExtField kExtMobile{82, 26};
constexpr ExtField kExtAddress{108, 60};
constexpr ExtField kExtJob{168, 40};
constexpr ExtField kExtEmail{208, 30};

}  // namespace users::layout
