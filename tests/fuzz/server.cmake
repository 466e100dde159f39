tidewell_add_fuzzer(server_answer_fuzz LIBS tw_server)
if(TARGET tw_devserver)
  tidewell_add_fuzzer(audit_document_fuzz LIBS tw_server tw_devserver)
endif()
