if(TARGET gatewarden_core)
  tidewell_add_fuzzer(user_client_record_fuzz LIBS gatewarden_core)
endif()
