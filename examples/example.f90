! A simulation job in Fortran that reports its progress to the monitor. Build it with
!     gfortran $(pkg-config --variable=fortran_module QORKelCommunications) example.f90 \
!         $(pkg-config --libs QORKelCommunications) -o fortran_example
! and run it with the options that say where reports go, for example
!     ./fortran_example -job beam -message on -direct_port 5000
program fortran_example
    use ipm_reporting
    implicit none
    integer, parameter :: steps = 20
    integer :: step, answer
    character(len=40) :: name

    ! The options on the program's own command line. Whatever is off, the library has said
    ! why on stderr, and the reporting calls below are safe anyway.
    answer = ipm_start()

    call ipm_report('Started', 'program=%s version=%s steps=%i', integers=[steps], &
                    texts=[character(len=16) :: 'fortran_example', '1.0'])
    call ipm_report('Heading', 'phase=%e heading=%s', &
                    texts=[character(len=16) :: 'Analysis', 'Phase: Analysis'])
    do step = 1, steps
        if (ipm_kill_requested()) exit
        write (name, '(a,i0)') 'Analysis step ', step
        call ipm_report('Step', 'phase=%e step=%i stepName=%s time=%r', integers=[step], &
                        reals=[0.25d0*step], texts=[character(len=40) :: 'Analysis', name])
        if (step == 3) call ipm_report('Warning', 'message=%s', &
                                       texts=['Convergence slow, increment halved'])
        if (step == 6) call ipm_report('Error', 'message=%s file=%s', &
                                       texts=[character(len=40) :: &
                                              'Element 1042 distorted: Jacobian < 0', 'model.inp'])
        call pause_ms(100) ! the step's work
    end do

    if (ipm_kill_requested()) then
        call ipm_report('Stopped', 'status=%e message=%s', &
                        texts=[character(len=30) :: 'Killed', 'Stopped by the monitor'])
        print '(a,i0)', "fortran_example: stopped by the monitor's Kill after step ", step - 1
    else
        call ipm_report('Finished', 'status=%e message=%s', &
                        texts=[character(len=30) :: 'Completed', 'All steps done'])
        print '(a,i0,a)', 'fortran_example: finished all ', steps, ' steps'
    end if
    ! Delivers what waits, then shuts the library down.
    call ipm_stop()

contains

    subroutine pause_ms(milliseconds)
        use, intrinsic :: iso_c_binding, only: c_int
        integer, intent(in) :: milliseconds
        interface
            integer(c_int) function usleep(microseconds) bind(C, name="usleep")
                import :: c_int
                integer(c_int), value :: microseconds
            end function usleep
        end interface
        integer(c_int) :: ignored
        ignored = usleep(int(milliseconds*1000, c_int))
    end subroutine pause_ms

end program fortran_example
