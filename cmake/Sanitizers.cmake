# BATMON_SANITIZE=thread   -> ThreadSanitizer
# BATMON_SANITIZE=address  -> AddressSanitizer + UndefinedBehaviorSanitizer
if(BATMON_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=thread)
elseif(BATMON_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=address,undefined)
elseif(NOT BATMON_SANITIZE STREQUAL "")
  message(FATAL_ERROR "BATMON_SANITIZE must be empty, 'thread' or 'address'")
endif()
