if(TARGET tw_devserver)
  tidewell_add_fuzzer(multipart_reader_fuzz LIBS tw_devserver)
endif()
