// Utility slot 13: AES in CBC mode with ISO/IEC 7816-4 padding, hexadecimal outside.
#include <cryptopp/aes.h>
#include <cryptopp/filters.h>
#include <cryptopp/hex.h>
#include <cryptopp/modes.h>

#include <string>

#include "plugin_util.h"

void UTIL_CryptString(std::string *pstrOut, const unsigned char *pucKey, uint32_t uiKeyLen,
                      const unsigned char *pucIv, const char *pcInput, int iMode)
{
    pstrOut->clear();
    if (pucKey == nullptr || pucIv == nullptr || pcInput == nullptr) {
        return;
    }
    using namespace CryptoPP;
    std::string strInput = pcInput;
    std::string strResult;
    try {
        if (iMode == 1) {
            CBC_Mode<AES>::Encryption stCipher(pucKey, uiKeyLen, pucIv);
            StringSource(strInput, true,
                         new StreamTransformationFilter(
                             stCipher, new HexEncoder(new StringSink(strResult), true),
                             BlockPaddingSchemeDef::ONE_AND_ZEROS_PADDING));
        } else {
            if (strInput.size() % 2 != 0 ||
                strInput.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
                return;
            }
            std::string strCipher;
            StringSource(strInput, true, new HexDecoder(new StringSink(strCipher)));
            CBC_Mode<AES>::Decryption stCipher(pucKey, uiKeyLen, pucIv);
            StringSource(
                strCipher, true,
                new StreamTransformationFilter(stCipher, new StringSink(strResult),
                                               BlockPaddingSchemeDef::ONE_AND_ZEROS_PADDING));
        }
    } catch (const CryptoPP::Exception &) {
        return;  // bad key length, bad padding, a partial block: no result
    }
    *pstrOut = strResult;
}
