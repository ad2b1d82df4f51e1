#pragma once

#include <cstdint>

namespace lockstep {

// Result code of a keychain operation: 0 for success, a negative platform
// code otherwise. Messages write it in decimal.
using OSStatus = std::int32_t;

inline constexpr OSStatus errSecSuccess = 0;
inline constexpr OSStatus errSecIO = -36;
inline constexpr OSStatus errSecParam = -50;
inline constexpr OSStatus errSecAllocate = -108;
inline constexpr OSStatus errSecNotAvailable = -25291;
inline constexpr OSStatus errSecReadOnly = -25292;
inline constexpr OSStatus errSecAuthFailed = -25293;
inline constexpr OSStatus errSecNoSuchKeychain = -25294;
inline constexpr OSStatus errSecInvalidKeychain = -25295;
inline constexpr OSStatus errSecDuplicateItem = -25299;
inline constexpr OSStatus errSecItemNotFound = -25300;
inline constexpr OSStatus errSecBufferTooSmall = -25301;
inline constexpr OSStatus errSecDataTooLarge = -25302;
inline constexpr OSStatus errSecNoSuchAttr = -25303;
inline constexpr OSStatus errSecInvalidItemRef = -25304;
inline constexpr OSStatus errSecNoSuchClass = -25306;
inline constexpr OSStatus errSecInteractionNotAllowed = -25308;
inline constexpr OSStatus errSecDecode = -26275;
inline constexpr OSStatus errSecACLNotSimple = -25240;
inline constexpr OSStatus errSecInvalidACL = -67713;
inline constexpr OSStatus errSecInvalidOwnerEdit = -25244;
inline constexpr OSStatus errSecDiskFull = -34;
inline constexpr OSStatus errSecInternalComponent = -2070;

}  // namespace lockstep
