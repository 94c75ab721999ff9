// VGS_Message_Block: a shared handle to one serialisable message, optionally with a
// response slot on which the sender waits until the receiver signals a result.
#pragma once

class VGS_Byte_Block;
class VGS_Object_Factory;
class VGS_Reference_Counter_Global_Sync;
class VGS_Serializable;
struct VGS_Message_Response;

class VGS_Message_Block {
 public:
  VGS_Message_Block();
  // As set(); failure throws VGS_Exception with the recorded code.
  VGS_Message_Block(VGS_Serializable* message, bool wait);
  VGS_Message_Block(const VGS_Byte_Block& frame, const VGS_Object_Factory& factory, bool wait);
  VGS_Message_Block(const VGS_Message_Block& other);
  VGS_Message_Block& operator=(const VGS_Message_Block& other);
  virtual ~VGS_Message_Block();

  // Takes ownership of `message` on success (on failure the caller keeps it). With
  // `wait` the block gets a response slot. 0, or -1 with the code recorded; throws
  // VGS_Exception when the slot's event cannot be created.
  int set(VGS_Serializable* message, bool wait);
  // Decodes one whole library frame from `frame` and keeps the object. 0, or -1 with
  // the code recorded (an incomplete frame: VGS_ERR_INPUT_UNDERFLOW).
  int set(const VGS_Byte_Block& frame, const VGS_Object_Factory& factory, bool wait);
  // Drops this handle; the last handle frees the message and the response slot.
  void reset();

  bool is_null() const { return message_ == nullptr; }
  operator VGS_Serializable*() const { return message_; }
  // Identity of the shared block, not equality of contents.
  bool operator==(const VGS_Message_Block& other) const;
  bool operator!=(const VGS_Message_Block& other) const { return !(*this == other); }

  // Answers the sender: stores the result, the error code and `response` (owned by the
  // slot from now on) and wakes the waiter. Without a response slot nothing happens
  // (`response` is deleted). Only the first answer counts; a later one's response is
  // deleted. Always 0.
  int signal(int result, unsigned long error_code, VGS_Serializable* response);
  // Waits up to `timeout` ms for the answer: its result when 0 or more; a negative result
  // records VGS_ERR_REQUEST_FAILED and is returned; time-out records 258, -1. Without a
  // response slot: 0 at once.
  int wait(unsigned long timeout) const;

  void* get_handle() const;
  unsigned long error_code() const;
  VGS_Serializable* get_resmsg() const;

 private:
  void share(const VGS_Message_Block& other);

  VGS_Serializable* message_;
  VGS_Message_Response* response_;
  VGS_Reference_Counter_Global_Sync* counter_;
};
