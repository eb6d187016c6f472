# The encoder library's own tests call it directly.
target_link_libraries(lame_enc_encoder_test PRIVATE lame_enc)
