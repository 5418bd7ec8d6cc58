// Entry variables of the media libraries.
//
// Nothing in the program links the media libraries: every function is reached through
// one of these pointers, which the loader fills with dlsym when it binds a library and
// clears when it unloads it. The types come from the installed headers, so a call
// through ff::name checks exactly like a call of the library function itself.
//
// Each list is the binding table of one library, in binding order; every entry is
// mandatory. Add a name to its library's list when new code needs the function.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavdevice/avdevice.h>
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavformat/avformat.h>
#include <libavformat/avio.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/avutil.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libavutil/log.h>
#include <libavutil/mathematics.h>
#include <libavutil/mem.h>
#include <libavutil/opt.h>
#include <libavutil/parseutils.h>
#include <libavutil/pixdesc.h>
#include <libavutil/rational.h>
#include <libavutil/samplefmt.h>
#include <libavutil/time.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <SDL2/SDL.h>

// SDL_syswm.h would bring in X11's headers everywhere; its one function is declared here.
extern "C" {
struct SDL_SysWMinfo;
extern DECLSPEC SDL_bool SDLCALL SDL_GetWindowWMInfo(SDL_Window* window, SDL_SysWMinfo* info);
}

#define QM_AVUTIL_ENTRIES(X)                                                                       \
    X(avutil_version)                                                                              \
    X(av_log)                                                                                      \
    X(av_log_set_callback)                                                                         \
    X(av_log_default_callback)                                                                     \
    X(av_log_get_level)                                                                            \
    X(av_log_set_level)                                                                            \
    X(av_default_item_name)                                                                        \
    X(av_malloc)                                                                                   \
    X(av_mallocz)                                                                                  \
    X(av_realloc)                                                                                  \
    X(av_fast_realloc)                                                                             \
    X(av_free)                                                                                     \
    X(av_freep)                                                                                    \
    X(av_strdup)                                                                                   \
    X(av_strerror)                                                                                 \
    X(av_dict_get)                                                                                 \
    X(av_dict_set)                                                                                 \
    X(av_dict_set_int)                                                                             \
    X(av_dict_copy)                                                                                \
    X(av_dict_count)                                                                               \
    X(av_dict_free)                                                                                \
    X(av_gcd)                                                                                      \
    X(av_reduce)                                                                                   \
    X(av_d2q)                                                                                      \
    X(av_rescale)                                                                                  \
    X(av_rescale_rnd)                                                                              \
    X(av_rescale_q)                                                                                \
    X(av_rescale_q_rnd)                                                                            \
    X(av_compare_ts)                                                                               \
    X(av_find_nearest_q_idx)                                                                       \
    X(av_gettime)                                                                                  \
    X(av_gettime_relative)                                                                         \
    X(av_parse_time)                                                                               \
    X(av_parse_video_rate)                                                                         \
    X(av_parse_video_size)                                                                         \
    X(av_opt_find)                                                                                 \
    X(av_opt_next)                                                                                 \
    X(av_opt_set)                                                                                  \
    X(av_opt_set_int)                                                                              \
    X(av_opt_set_bin)                                                                              \
    X(av_opt_set_dict)                                                                             \
    X(av_opt_get)                                                                                  \
    X(av_opt_get_int)                                                                              \
    X(av_opt_set_defaults)                                                                         \
    X(av_int_list_length_for_size)                                                                 \
    X(av_get_media_type_string)                                                                    \
    X(av_get_picture_type_char)                                                                    \
    X(av_get_pix_fmt)                                                                              \
    X(av_get_pix_fmt_name)                                                                         \
    X(av_get_pix_fmt_string)                                                                       \
    X(av_pix_fmt_desc_get)                                                                         \
    X(av_pix_fmt_desc_next)                                                                        \
    X(av_pix_fmt_desc_get_id)                                                                      \
    X(av_get_sample_fmt)                                                                           \
    X(av_get_sample_fmt_name)                                                                      \
    X(av_get_sample_fmt_string)                                                                    \
    X(av_get_bytes_per_sample)                                                                     \
    X(av_sample_fmt_is_planar)                                                                     \
    X(av_get_packed_sample_fmt)                                                                    \
    X(av_samples_get_buffer_size)                                                                  \
    X(av_samples_set_silence)                                                                      \
    X(av_channel_layout_default)                                                                   \
    X(av_channel_layout_from_mask)                                                                 \
    X(av_channel_layout_copy)                                                                      \
    X(av_channel_layout_compare)                                                                   \
    X(av_channel_layout_describe)                                                                  \
    X(av_channel_layout_uninit)                                                                    \
    X(av_frame_alloc)                                                                              \
    X(av_frame_free)                                                                               \
    X(av_frame_ref)                                                                                \
    X(av_frame_unref)                                                                              \
    X(av_frame_move_ref)                                                                           \
    X(av_frame_clone)                                                                              \
    X(av_frame_get_buffer)                                                                         \
    X(av_frame_make_writable)                                                                      \
    X(av_frame_is_writable)                                                                        \
    X(av_frame_copy_props)                                                                         \
    X(av_frame_remove_side_data)                                                                   \
    X(av_frame_apply_cropping)                                                                     \
    X(av_image_alloc)                                                                              \
    X(av_image_fill_arrays)                                                                        \
    X(av_image_fill_linesizes)                                                                     \
    X(av_image_get_buffer_size)                                                                    \
    X(av_image_copy)                                                                               \
    X(av_audio_fifo_alloc)                                                                         \
    X(av_audio_fifo_free)                                                                          \
    X(av_audio_fifo_write)                                                                         \
    X(av_audio_fifo_read)                                                                          \
    X(av_audio_fifo_size)                                                                          \
    X(av_audio_fifo_drain)                                                                         \
    X(av_opt_get_double)                                                                           \
    X(av_opt_set_double)                                                                           \
    X(av_opt_copy)

#define QM_SWRESAMPLE_ENTRIES(X)                                                                   \
    X(swresample_version)                                                                          \
    X(swr_alloc_set_opts2)                                                                         \
    X(swr_init)                                                                                    \
    X(swr_is_initialized)                                                                          \
    X(swr_convert)                                                                                 \
    X(swr_get_out_samples)                                                                         \
    X(swr_get_delay)                                                                               \
    X(swr_set_compensation)                                                                        \
    X(swr_free)

#define QM_SWSCALE_ENTRIES(X)                                                                      \
    X(swscale_version)                                                                             \
    X(sws_get_class)                                                                               \
    X(sws_getContext)                                                                              \
    X(sws_getCachedContext)                                                                        \
    X(sws_scale)                                                                                   \
    X(sws_freeContext)                                                                             \
    X(sws_isSupportedInput)                                                                        \
    X(sws_isSupportedOutput)

#define QM_AVCODEC_ENTRIES(X)                                                                      \
    X(avcodec_version)                                                                             \
    X(avcodec_get_class)                                                                           \
    X(av_codec_iterate)                                                                            \
    X(av_codec_is_encoder)                                                                         \
    X(av_codec_is_decoder)                                                                         \
    X(avcodec_find_decoder)                                                                        \
    X(avcodec_find_decoder_by_name)                                                                \
    X(avcodec_find_encoder)                                                                        \
    X(avcodec_find_encoder_by_name)                                                                \
    X(avcodec_get_name)                                                                            \
    X(avcodec_descriptor_get)                                                                      \
    X(avcodec_descriptor_get_by_name)                                                              \
    X(avcodec_string)                                                                              \
    X(avcodec_alloc_context3)                                                                      \
    X(avcodec_free_context)                                                                        \
    X(avcodec_open2)                                                                               \
    X(avcodec_close)                                                                               \
    X(avcodec_parameters_alloc)                                                                    \
    X(avcodec_parameters_free)                                                                     \
    X(avcodec_parameters_copy)                                                                     \
    X(avcodec_parameters_to_context)                                                               \
    X(avcodec_parameters_from_context)                                                             \
    X(avcodec_send_packet)                                                                         \
    X(avcodec_receive_frame)                                                                       \
    X(avcodec_send_frame)                                                                          \
    X(avcodec_receive_packet)                                                                      \
    X(avcodec_flush_buffers)                                                                       \
    X(avcodec_decode_subtitle2)                                                                    \
    X(avcodec_encode_subtitle)                                                                     \
    X(avsubtitle_free)                                                                             \
    X(av_get_bits_per_sample)                                                                      \
    X(av_get_exact_bits_per_sample)                                                                \
    X(av_packet_alloc)                                                                             \
    X(av_packet_free)                                                                              \
    X(av_packet_ref)                                                                               \
    X(av_packet_unref)                                                                             \
    X(av_packet_move_ref)                                                                          \
    X(av_packet_clone)                                                                             \
    X(av_packet_make_refcounted)                                                                   \
    X(av_packet_rescale_ts)                                                                        \
    X(av_packet_get_side_data)                                                                     \
    X(av_packet_new_side_data)                                                                     \
    X(av_new_packet)                                                                               \
    X(av_bsf_get_by_name)                                                                          \
    X(av_bsf_alloc)                                                                                \
    X(av_bsf_init)                                                                                 \
    X(av_bsf_send_packet)                                                                          \
    X(av_bsf_receive_packet)                                                                       \
    X(av_bsf_free)

#define QM_AVFORMAT_ENTRIES(X)                                                                     \
    X(avformat_version)                                                                            \
    X(avformat_get_class)                                                                          \
    X(av_demuxer_iterate)                                                                          \
    X(av_muxer_iterate)                                                                            \
    X(av_find_input_format)                                                                        \
    X(av_guess_format)                                                                             \
    X(av_guess_codec)                                                                              \
    X(av_codec_get_id)                                                                             \
    X(av_codec_get_tag)                                                                            \
    X(av_filename_number_test)                                                                     \
    X(avformat_alloc_context)                                                                      \
    X(avformat_free_context)                                                                       \
    X(avformat_alloc_output_context2)                                                              \
    X(avformat_open_input)                                                                         \
    X(avformat_close_input)                                                                        \
    X(avformat_find_stream_info)                                                                   \
    X(avformat_new_stream)                                                                         \
    X(avformat_write_header)                                                                       \
    X(av_write_trailer)                                                                            \
    X(av_interleaved_write_frame)                                                                  \
    X(av_read_frame)                                                                               \
    X(av_read_pause)                                                                               \
    X(av_read_play)                                                                                \
    X(av_seek_frame)                                                                               \
    X(avformat_seek_file)                                                                          \
    X(av_dump_format)                                                                              \
    X(av_stream_get_end_pts)                                                                       \
    X(av_stream_get_codec_timebase)                                                                \
    X(av_stream_new_side_data)                                                                     \
    X(av_guess_frame_rate)                                                                         \
    X(av_guess_sample_aspect_ratio)                                                                \
    X(av_pkt_dump_log2)                                                                            \
    X(av_sdp_create)                                                                               \
    X(avio_open)                                                                                   \
    X(avio_closep)                                                                                 \
    X(avio_alloc_context)                                                                          \
    X(avio_context_free)                                                                           \
    X(avio_size)                                                                                   \
    X(avio_seek)                                                                                   \
    X(avio_feof)                                                                                   \
    X(avio_flush)                                                                                  \
    X(avio_enum_protocols)                                                                         \
    X(avio_read)                                                                                   \
    X(avio_write)

#define QM_AVFILTER_ENTRIES(X)                                                                     \
    X(avfilter_version)                                                                            \
    X(avfilter_get_by_name)                                                                        \
    X(avfilter_graph_alloc)                                                                        \
    X(avfilter_graph_free)                                                                         \
    X(avfilter_graph_create_filter)                                                                \
    X(avfilter_graph_parse_ptr)                                                                    \
    X(avfilter_graph_config)                                                                       \
    X(avfilter_link)                                                                               \
    X(avfilter_inout_alloc)                                                                        \
    X(avfilter_inout_free)                                                                         \
    X(av_buffersrc_add_frame_flags)                                                                \
    X(av_buffersink_get_frame)                                                                     \
    X(av_buffersink_get_w)                                                                         \
    X(av_buffersink_get_h)                                                                         \
    X(av_buffersink_get_format)                                                                    \
    X(av_buffersink_get_time_base)                                                                 \
    X(av_buffersink_get_sample_aspect_ratio)

#define QM_AVDEVICE_ENTRIES(X)                                                                     \
    X(avdevice_version)                                                                            \
    X(avdevice_register_all)

#define QM_SDL_ENTRIES(X)                                                                          \
    X(SDL_Init)                                                                                    \
    X(SDL_InitSubSystem)                                                                           \
    X(SDL_QuitSubSystem)                                                                           \
    X(SDL_WasInit)                                                                                 \
    X(SDL_Quit)                                                                                    \
    X(SDL_GetError)                                                                                \
    X(SDL_GetVersion)                                                                              \
    X(SDL_GetTicks)                                                                                \
    X(SDL_Delay)                                                                                   \
    X(SDL_AddTimer)                                                                                \
    X(SDL_RemoveTimer)                                                                             \
    X(SDL_OpenAudio)                                                                               \
    X(SDL_PauseAudio)                                                                              \
    X(SDL_CloseAudio)                                                                              \
    X(SDL_MixAudio)                                                                                \
    X(SDL_MixAudioFormat)                                                                          \
    X(SDL_OpenAudioDevice)                                                                         \
    X(SDL_PauseAudioDevice)                                                                        \
    X(SDL_CloseAudioDevice)                                                                        \
    X(SDL_QueueAudio)                                                                              \
    X(SDL_GetQueuedAudioSize)                                                                      \
    X(SDL_RWFromFile)                                                                              \
    X(SDL_LoadWAV_RW)                                                                              \
    X(SDL_FreeWAV)                                                                                 \
    X(SDL_WaitEvent)                                                                               \
    X(SDL_WaitEventTimeout)                                                                        \
    X(SDL_PushEvent)                                                                               \
    X(SDL_EventState)                                                                              \
    X(SDL_RegisterEvents)                                                                          \
    X(SDL_CreateWindow)                                                                            \
    X(SDL_CreateWindowFrom)                                                                        \
    X(SDL_DestroyWindow)                                                                           \
    X(SDL_GetWindowSize)                                                                           \
    X(SDL_CreateRenderer)                                                                          \
    X(SDL_DestroyRenderer)                                                                         \
    X(SDL_GetRendererOutputSize)                                                                   \
    X(SDL_SetRenderDrawColor)                                                                      \
    X(SDL_RenderClear)                                                                             \
    X(SDL_RenderFillRect)                                                                          \
    X(SDL_RenderCopy)                                                                              \
    X(SDL_RenderPresent)                                                                           \
    X(SDL_CreateTexture)                                                                           \
    X(SDL_DestroyTexture)                                                                          \
    X(SDL_UpdateYUVTexture)                                                                        \
    X(SDL_CreateMutex)                                                                             \
    X(SDL_LockMutex)                                                                               \
    X(SDL_UnlockMutex)                                                                             \
    X(SDL_DestroyMutex)                                                                            \
    X(SDL_CreateCond)                                                                              \
    X(SDL_DestroyCond)                                                                             \
    X(SDL_CondSignal)                                                                              \
    X(SDL_CondBroadcast)                                                                           \
    X(SDL_CondWait)                                                                                \
    X(SDL_CondWaitTimeout)                                                                         \
    X(SDL_CreateThread)                                                                            \
    X(SDL_WaitThread)                                                                              \
    X(SDL_SetWindowSize)                                                                           \
    X(SDL_GetWindowWMInfo)                                                                         \
    X(SDL_RenderFillRects)                                                                         \
    X(SDL_SetHint)

namespace ff {
#define QM_DECLARE_ENTRY(name) extern decltype(&::name) name;
QM_AVUTIL_ENTRIES(QM_DECLARE_ENTRY)
QM_SWRESAMPLE_ENTRIES(QM_DECLARE_ENTRY)
QM_SWSCALE_ENTRIES(QM_DECLARE_ENTRY)
QM_AVCODEC_ENTRIES(QM_DECLARE_ENTRY)
QM_AVFORMAT_ENTRIES(QM_DECLARE_ENTRY)
QM_AVFILTER_ENTRIES(QM_DECLARE_ENTRY)
QM_AVDEVICE_ENTRIES(QM_DECLARE_ENTRY)
QM_SDL_ENTRIES(QM_DECLARE_ENTRY)
#undef QM_DECLARE_ENTRY
} // namespace ff
