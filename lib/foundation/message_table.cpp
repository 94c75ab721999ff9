// The library's message texts (Korean), string number -> text, as UTF-8.
#include "foundation/message_table.h"

#include <cstring>

namespace {

// Index i holds string number i + 1.
constexpr const char* kMessages[] = {
    "알 수 없는 오류가 발생하였습니다.",  // 1 VGS_ERR_UNKNOWN
    "라이브러리가 사용 가능 하도록 초기화 되지 않았습니다.",  // 2 VGS_ERR_NOT_INITIALIZED
    "해당 함수 또는 객체의 구현내용이 코드상에 존재하지 않습니다.",  // 3 VGS_ERR_NOT_IMPLEMENTED
    "해당 함수에 전달 된 매개변수 또는 객체의 포인터가 NULL이거나 중요멤버가 NULL입니다.",  // 4 VGS_ERR_NULL_ARGUMENT
    "사용자 해쉬 함수의 계산 결과가 올바르지 않습니다.",  // 5 VGS_ERR_BAD_HASH
    "MD5 데이터의 크기가 올바르지 않습니다",  // 6 VGS_ERR_MD5_SIZE
    "해당 객체 또는 모듈의 사용이 종료되었거나 초기화 되지 않아 더이상 해당 작업을 수행 할 수 없습니다.",  // 7 VGS_ERR_CLOSED
    "이벤트를 폴링 할 수 있는 최대 크기(63)를 초과하였습니다.",  // 8 VGS_ERR_POLL_LIMIT
    "해당 요청을 원격 또는 로컬 서버가 처리하지 못하고 실패응답을 리턴 하였습니다.",  // 9 VGS_ERR_REQUEST_FAILED
    "해당 객체 또는 값을 지정 된 자료구조에서 찾을 수 없습니다.",  // 10 VGS_ERR_NOT_FOUND
    "할당하려는 메모리의 크기가 0 입니다.",  // 11 VGS_ERR_ZERO_SIZE
    "로컬 데이터 타입을 I/O 스트림으로 인코딩 하기 위한 출력 버퍼의 크기가 부족하거나 올바르지 않습니다.",  // 12 VGS_ERR_OUTPUT_OVERFLOW
    "I/O 스트림의 해당 element type 이 올바르지 않습니다.",  // 13 VGS_ERR_ELEMENT_TYPE
    "I/O 스트림의 해당 element의 길이가 올바르지 않습니다.",  // 14 VGS_ERR_ELEMENT_LENGTH
    "로컬 데이터 타입으로 디코딩 하기 위한 I/O 스트림 바이트열의 길이가 작거나 올바르지 않습니다.",  // 15 VGS_ERR_INPUT_UNDERFLOW
    "I/O 스트림에서 해당 element 를 찾을 수 없습니다.",  // 16 VGS_ERR_ELEMENT_NOT_FOUND
    "I/O 스트림의 프로토콜 형식이 올바르지 않습니다.",  // 17 VGS_ERR_PROTOCOL
    "상대방으로부터 현재 연결이 종료 되었습니다.",  // 18 VGS_ERR_PEER_CLOSED
    "스레드 Task 를 초기화 하는 중 오류가 발생하였습니다.",  // 19 VGS_ERR_TASK_INIT
    "비동기 I/O 작업을 위한 Completion Key 가 존재하지 않습니다.",  // 20 VGS_ERR_NO_COMPLETION_KEY
    "비동기 I/O 작업 완료대기를 위한 작업스레드 수가 최대 값(64)를 초과하였습니다.",  // 21 VGS_ERR_IO_THREAD_LIMIT
    "캐시 파일의 메타정보가 올바르지 않습니다.",  // 22 VGS_ERR_CACHE_META
    "캐시파일을 생성하는 중 사용자에 의해 작업이 취소되었습니다.",  // 23 VGS_ERR_CACHE_CANCELLED
    "해당 캐시파일은 아직 열리지 않았으므로 사용이 불가능 합니다.  먼저 해당 파일을 열어주십시오.",  // 24 VGS_ERR_CACHE_NOT_OPEN
    "읽으려는 해당 캐시파일의 Piece 옵셋은 아직 다운로드가 완료되지 않았습니다.",  // 25 VGS_ERR_CACHE_PIECE_PENDING
    "지정 된 캐시파일의 Read/Write 옵셋이 지정 된 Piece 의 크기를 초과하였습니다.",  // 26 VGS_ERR_CACHE_PIECE_RANGE
    "지정 된 캐시파일의 해당 조각의 체크섬 값이 올바르지 않습니다.",  // 27 VGS_ERR_CACHE_CHECKSUM
    "캐시 하려는 파일의 내용이 비어있습니다.  파일의 크기가 1이상인 파일을 지정 해 주십시오.",  // 28 VGS_ERR_CACHE_EMPTY_SOURCE
    "캐시하려는 파일의 메타정보가 올바르지 않습니다.",  // 29 VGS_ERR_CACHE_SOURCE_META
    "생성하려는 캐시파일이 이미 다른 스레드 또는 프로세스에 의해 생성 중입니다.",  // 30 VGS_ERR_CACHE_BUSY
    "더이상 UDP ENET의 연결을 생성 할 수 없습니다.  사용가능 한 피어의 세션 값이 최대 수를 초과하였습니다.",  // 31 VGS_ERR_UDP_PEER_LIMIT
    "UDP ENET 피어의 연결이 완료되지 않았거나 연결이 종료되었으므로 더 이상 메시지를 송/수신 할 수 있는 상태가 아닙니다.",  // 32 VGS_ERR_UDP_NOT_CONNECTED
    "지정 된 캐시파일에서 엑세스 하려는 해당 Piece 번호가 존재하지 않거나 올바르지 않습니다.",  // 33 VGS_ERR_CACHE_PIECE_INDEX
    "캐시파일에 대한 원본파일이 이미 다른 경로에 존재 합니다.",  // 34 VGS_ERR_CACHE_SOURCE_EXISTS
};

}  // namespace

const char* VGS_Message_Text(unsigned int number) {
  if (number == 0 || number > sizeof(kMessages) / sizeof(kMessages[0])) return nullptr;
  return kMessages[number - 1];
}

unsigned int VGS_Load_Message(unsigned int number, char* buffer, unsigned int size) {
  if (buffer == nullptr || size == 0) return 0;
  const char* text = VGS_Message_Text(number);
  if (text == nullptr) {
    buffer[0] = '\0';
    return 0;
  }
  std::size_t length = std::strlen(text);
  if (length > size - 1) length = size - 1;
  std::memcpy(buffer, text, length);
  buffer[length] = '\0';
  return static_cast<unsigned int>(length);
}
