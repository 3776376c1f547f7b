# Fails when a named event of ours is still in /dev/shm.
file(GLOB left "/dev/shm/${PREFIX}*")
if(left)
  message(FATAL_ERROR "left in /dev/shm: ${left}")
endif()
message(STATUS "nothing left in /dev/shm")
