# Scripted stand-ins for the MP3 encoder library: complete, without a required entry point,
# and without the optional one.
set(STUB_ENCODERS stub_lame_enc stub_lame_enc_partial stub_lame_enc_no_tag)
foreach(stub ${STUB_ENCODERS})
    add_library(${stub} MODULE ${CMAKE_CURRENT_LIST_DIR}/stub_encoder.cpp)
    target_include_directories(${stub} PRIVATE ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${stub} PRIVATE Threads::Threads)
    set_target_properties(${stub} PROPERTIES CXX_VISIBILITY_PRESET hidden)
endforeach()
target_compile_definitions(stub_lame_enc_partial PRIVATE STUB_WITHOUT_ENCODE_CHUNK)
target_compile_definitions(stub_lame_enc_no_tag PRIVATE STUB_WITHOUT_INFO_TAG)
foreach(test audio_recording_writer_test audio_recording_threads_test)
    add_dependencies(${test} ${STUB_ENCODERS})
    target_compile_definitions(${test} PRIVATE
        STUB_ENCODER="$<TARGET_FILE:stub_lame_enc>"
        STUB_ENCODER_PARTIAL="$<TARGET_FILE:stub_lame_enc_partial>"
        STUB_ENCODER_NO_TAG="$<TARGET_FILE:stub_lame_enc_no_tag>")
    target_link_libraries(${test} PRIVATE ${CMAKE_DL_LIBS})
endforeach()
