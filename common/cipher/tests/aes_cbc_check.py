"""AES-CBC with PKCS#7 padding from an independent library, for checking the C++ helpers.

Usage: aes_cbc_check.py KEY IV HEX... ; prints the cipher text of each HEX plain text, in hex, one a line.
KEY and IV are text whose UTF-8 bytes are used.
"""
import sys

from cryptography.hazmat.primitives import padding
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes


def main() -> int:
    key = sys.argv[1].encode()
    iv = sys.argv[2].encode()
    for plain_hex in sys.argv[3:]:
        padder = padding.PKCS7(128).padder()
        padded = padder.update(bytes.fromhex(plain_hex)) + padder.finalize()
        enc = Cipher(algorithms.AES(key), modes.CBC(iv)).encryptor()
        print((enc.update(padded) + enc.finalize()).hex())
    return 0


if __name__ == "__main__":
    sys.exit(main())
