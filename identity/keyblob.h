// Encryption of the client-authentication key record.
//
// The record is AES-128-CBC with PKCS#7 padding under a key derived from the
// unit itself: the device secret is the byte-wise XOR of the first 13 bytes of
// the serial number and of the OEM serial number, each as its reader delivers
// it into a 100-byte buffer (terminators and whatever follows included). Its
// SHA-256 digest gives the AES key (bytes 0-15) and the IV (bytes 16-31).
#pragma once

namespace mfg::identity {

constexpr int kDeviceSecretSize = 13;
// Cipher block: ciphertext is the plaintext rounded up to the next multiple of
// 16, plus 16 when already a multiple.
constexpr int kKeyblobBlock = 16;
constexpr int kKeyblobNoMemory = -3;

// 0; -1 out is null; -2 the serial number read failed; -3 the OEM serial
// number read failed.
[[nodiscard]] int device_secret(unsigned char out[kDeviceSecretSize]) noexcept;

// Encrypt / decrypt inlen bytes of in into out, whose room must be at least
// inlen + kKeyblobBlock bytes; *outlen receives the output length. 0; -1
// the device secret cannot be built; -2 the cipher failed (logged, *outlen
// untouched); kKeyblobNoMemory when the cipher could not get memory
// (nothing logged: the data is not at fault).
[[nodiscard]] int encrypt_keyblob(const void *in, int inlen, void *out, int *outlen) noexcept;
[[nodiscard]] int decrypt_keyblob(const void *in, int inlen, void *out, int *outlen) noexcept;

}  // namespace mfg::identity
